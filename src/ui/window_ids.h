#pragma once
// The windows by name, what they tell each other (the notifications), and the commands
// shared by several of them. Any thread.

namespace quorvel {

enum class WindowId { Main, Test, Init, Method, Error, Terminal, First, Status, Setup };
inline constexpr int kWindowCount = 9;

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
    RunTimeout,          // a method step overran its bound, the parameter a DeviceRole
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

}  // namespace quorvel
