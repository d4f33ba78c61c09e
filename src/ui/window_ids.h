#pragma once
// How the core speaks to windows it knows only by id. The application implements this
// with queued events to its window objects; tests implement it with a recorder.
// Any thread may call every member. Nothing here ever waits for a message box: messages
// are handed to the window thread, which shows them once it is free. send() alone waits,
// until the window thread has handled it or the application shuts down.

#include <string>

namespace quorvel {

enum class WindowId { Main, Test, Init, Method, Error, Terminal, First, Status, Setup };
inline constexpr int kWindowCount = 9;

// The two devices, also the parameter of a reply time-out.
enum class DeviceRole : int { Pump = 1, Valve = 2 };

// What a notification means. The windows were designed with numbered user messages in
// which one number meant different things to different windows (1000 alone meant five);
// here every meaning has its own name, and the old number stands beside it.
enum class Note {
    // To the main window.
    StartInit,           // 1000: start the pump initialisation
    CommTimeout,         // 1001: a reply time-out, the parameter a DeviceRole
    MethodOpened,        // 1002: the Method window reports its height
    MethodNormalHeight,  // 1003: give the Method window its normal height
    MethodEditHeight,    // 1004: enlarge the Method window for editing
    // To the First window.
    ShowNotice,  // 1000
    ShowAbout,   // 1001
    // To the Init window.
    InitAdvance,  // 1000: advance the progress bar
    // To the Terminal window.
    TerminalLines,  // 1000: pump lines are waiting
    TerminalEnter,  // 1001: the Enter key was pressed somewhere in the program
    // To the Method, Test and Status windows at the end of every pass.
    PassDone,  // 1003: repaint the lamps, refresh the speed
    // To the Setup window.
    BacklashRead,  // 1003: the controller reported a backlash setting
    // To the Method and Test windows.
    StatusLine,  // 1020: status_line was rebuilt
    // To the Method window.
    MethodFill,     // 1000: fill the step list
    MethodName,     // 1001: show the method's name
    MethodMode,     // 1002: show the run mode
    MethodShowRow,  // 1004: show the current row (editing)
    MethodSelect,   // select step-list line `param` (-1: none)
};

// Command identifiers shared by several windows: the menu's, and Close (button 2, the
// Escape key and the close box of every window). Each window names its own controls.
namespace cmd {
inline constexpr int Close = 2;
inline constexpr int Setup = 100;
inline constexpr int Test = 102;
inline constexpr int Open = 103;
inline constexpr int Save = 104;
inline constexpr int SaveAs = 105;
inline constexpr int New = 106;
inline constexpr int Quit = 107;
inline constexpr int InitializePump = 108;
inline constexpr int About = 109;
inline constexpr int ViewHelp = 110;
inline constexpr int Terminal = 111;
inline constexpr int Status = 112;
// Not a menu item: open the method named on the command line, as Open would.
inline constexpr int OpenNamedMethod = 150;
inline constexpr int MethodClose = 4201;
}  // namespace cmd

class Notifier {
  public:
    virtual ~Notifier() = default;
    virtual bool is_open(WindowId w) const = 0;
    // Queued; dropped when the window is closed by the time it is delivered.
    virtual void post(WindowId w, Note note, int param = 0) = 0;
    // Handled before this returns (or dropped at shutdown). Never call it holding a lock
    // the window thread may take.
    virtual void send(WindowId w, Note note, int param = 0) = 0;
    // A command (button or menu identifier), queued.
    virtual void post_command(WindowId w, int command) = 0;
    // A modal message with an OK button, owned by `owner`, shown by the window thread
    // after whatever it is doing now. Returns at once, so it is safe under any lock.
    virtual void post_message(WindowId owner, const std::string& text,
                              const std::string& caption) = 0;
    // From now on nothing waits for a window: a thread inside send() returns, later
    // calls are dropped. Called first thing at shutdown, so the communication thread can
    // always be stopped.
    virtual void shutdown() {}
};

// For a core that runs with no windows at all.
class NullNotifier final : public Notifier {
  public:
    bool is_open(WindowId) const override { return false; }
    void post(WindowId, Note, int) override {}
    void send(WindowId, Note, int) override {}
    void post_command(WindowId, int) override {}
    void post_message(WindowId, const std::string&, const std::string&) override {}
};

}  // namespace quorvel
