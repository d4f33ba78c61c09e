#pragma once
// The signals that end quorvel-run short of a crash (the terminal closed, Ctrl+C, a kill,
// and the others whose default is to end the program), turned into a byte on a pipe the
// main thread waits on, so the pump is stopped and the program ends without a handler
// ever doing more than a write(). Main thread.

namespace quorvel::run {

class StopSignals {
  public:
    // Installs the handlers and blocks the signals in this thread, so that every thread
    // started from now on keeps them away from its own system calls.
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    bool ok() const { return read_fd_ >= 0; }
    // From now on this thread takes the signals (one blocked meanwhile arrives now).
    void unblock_here();
    // Readable once a signal has come.
    int fd() const { return read_fd_; }
    // The first signal that came, or 0.
    int take();

  private:
    int read_fd_ = -1;
    int write_fd_ = -1;
    int first_ = 0;
};

}  // namespace quorvel::run
