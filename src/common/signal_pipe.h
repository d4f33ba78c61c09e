#pragma once
// Every signal whose default is to end the program, short of a crash (the terminal closed,
// Ctrl+C and Ctrl+backslash, a kill, and the rest), becomes one byte, its number, on a pipe
// that the program's main thread waits on. The pump is then stopped by the ordinary
// shutdown, and a handler never does more than a write(). One at a time in a process; made
// and ended on the main thread.

#include <signal.h>

#include "common/unique_fd.h"

namespace quorvel {

inline constexpr int kEndingSignals[] = {SIGHUP,  SIGINT,  SIGQUIT, SIGTERM, SIGUSR1,
                                         SIGUSR2, SIGALRM, SIGXCPU, SIGXFSZ, SIGPWR};

class SignalPipe {
  public:
    enum class Block { No, UntilUnblocked };

    // Installs the handlers. With Block::UntilUnblocked the signals are also blocked in this
    // thread until unblock_here(), so that every thread started meanwhile inherits the mask
    // and keeps them away from its own system calls.
    explicit SignalPipe(Block block = Block::No);
    // The default actions again, and nothing more written to the pipe.
    ~SignalPipe();
    SignalPipe(const SignalPipe&) = delete;
    SignalPipe& operator=(const SignalPipe&) = delete;

    bool ok() const { return pipe_.read.valid(); }
    // Readable once a signal has come.
    int fd() const { return pipe_.read.get(); }
    // From now on this thread takes the signals (one blocked meanwhile arrives now).
    void unblock_here();
    // Reads what has come; the first signal that came, or 0.
    int take();

  private:
    FdPair pipe_;
    int first_ = 0;
};

}  // namespace quorvel
