#pragma once
// Whether the windowing toolkit will find a display, asked before it is started: without
// one it aborts the program with a message of its own. Main thread, before the application
// object exists.

#include <string>

namespace quorvel {

// Empty when a display is there, or when the platform chosen needs none (offscreen, vnc)
// or cannot be judged from here (a display on another host); otherwise why there is none,
// e.g. "neither DISPLAY nor WAYLAND_DISPLAY is set".
std::string display_problem();

}  // namespace quorvel
