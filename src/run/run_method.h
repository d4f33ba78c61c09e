#pragma once
// quorvel-run from its parsed command line to its exit status: the method read, listed or
// run through the program's session core without windows. Main thread.

#include "run/run_options.h"

namespace quorvel::run {

inline constexpr int kExitDone = 0;
inline constexpr int kExitFailed = 1;      // a port could not be opened, or no start-up
inline constexpr int kExitUsage = 2;       // bad usage or a method that cannot run
inline constexpr int kExitDevice = 3;      // a device stopped answering or a step failed
inline constexpr int kExitInputEnded = 4;  // standard input ended while an Event step waited
// A stop signal ends the program with 128 + the signal's number.

int run_method(const RunOptions& options);

}  // namespace quorvel::run
