#pragma once
// How the core speaks to windows it knows only by id. The application implements this
// with queued events to its window objects; tests implement it with a recorder.
// Any thread may call every member. Posts never block; send() and show_message() block the
// caller until the window thread has handled them (or the application is shutting down).

#include <string>

namespace quorvel {

enum class WindowId { Main, Test, Init, Method, Error, Terminal, First, Status, Setup };
inline constexpr int kWindowCount = 9;

// Command identifiers (the menu's and the windows' own).
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
inline constexpr int MethodClose = 4201;
}  // namespace cmd

// Notification codes; their meaning depends on the receiving window.
namespace note {
inline constexpr int StartInit = 1000;      // Main: start the pump initialisation
inline constexpr int CommTimeout = 1001;    // Main: param 1 pump, 2 valve
inline constexpr int InitAdvance = 1000;    // Init: advance the progress bar
inline constexpr int TerminalLines = 1000;  // Terminal: lines are waiting
inline constexpr int TerminalEnter = 1001;  // Terminal: the Enter key was pressed
inline constexpr int Refresh = 1003;        // Method/Test/Status lamps, Setup backlash
inline constexpr int StatusLine = 1020;     // Method/Test: status_line was rebuilt
inline constexpr int FirstNotice = 1000;    // First: show the notice
inline constexpr int FirstAbout = 1001;     // First: show the About text
inline constexpr int MethodFill = 1000;     // Method: fill the list
inline constexpr int MethodName = 1001;     // Method: show the method name
inline constexpr int MethodMode = 1002;     // Method: show the run mode
inline constexpr int MethodShowRow = 1004;  // Method: show the current row (editing)
inline constexpr int MethodSelect = 1005;   // Method: select step-list line param (-1: none)
inline constexpr int MethodOpened = 1002;   // Main: the Method window reports its height
inline constexpr int MethodNormal = 1003;   // Main: give the Method window its normal height
inline constexpr int MethodEnlarge = 1004;  // Main: enlarge the Method window for editing
}  // namespace note

inline constexpr int kPumpTimeout = 1;
inline constexpr int kValveTimeout = 2;

class Notifier {
  public:
    virtual ~Notifier() = default;
    virtual bool is_open(WindowId w) const = 0;
    // A user notification, queued; dropped when the window is closed by then.
    virtual void post(WindowId w, int code, int param) = 0;
    // A user notification handled before this returns.
    virtual void send(WindowId w, int code, int param) = 0;
    // A command (button or menu identifier), queued.
    virtual void post_command(WindowId w, int command) = 0;
    // A modal message box with an OK button; returns when the operator has closed it.
    virtual void show_message(WindowId owner, const std::string& text,
                              const std::string& caption) = 0;
};

// For a core that runs with no windows at all.
class NullNotifier final : public Notifier {
  public:
    bool is_open(WindowId) const override { return false; }
    void post(WindowId, int, int) override {}
    void send(WindowId, int, int) override {}
    void post_command(WindowId, int) override {}
    void show_message(WindowId, const std::string&, const std::string&) override {}
};

}  // namespace quorvel
