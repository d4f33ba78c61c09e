#pragma once
// Every signal whose default is to end the program, short of a crash: the terminal closed
// (HUP), Ctrl+C and Ctrl+backslash, a kill, and the rest. The program and quorvel-run both
// turn them into a byte on a descriptor that their main thread waits on, so that the pump
// is stopped by the ordinary shutdown and a handler never does more than a write().

#include <signal.h>

namespace quorvel {

inline constexpr int kEndingSignals[] = {SIGHUP,  SIGINT,  SIGQUIT, SIGTERM, SIGUSR1,
                                         SIGUSR2, SIGALRM, SIGXCPU, SIGXFSZ, SIGPWR};

sigset_t ending_signal_set();
// From now on each ending signal writes its number, as one byte, to `fd` (non-blocking).
void route_ending_signals(int fd);
// The default action again, and nothing more written to the descriptor.
void restore_ending_signals();

}  // namespace quorvel
