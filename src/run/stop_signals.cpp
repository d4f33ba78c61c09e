#include "stop_signals.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include "common/ending_signals.h"

namespace quorvel::run {

StopSignals::StopSignals() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
    read_fd_ = fds[0];
    write_fd_ = fds[1];
    const sigset_t set = ending_signal_set();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    route_ending_signals(write_fd_);
}

StopSignals::~StopSignals() {
    restore_ending_signals();
    if (write_fd_ >= 0) ::close(write_fd_);
    if (read_fd_ >= 0) ::close(read_fd_);
}

void StopSignals::unblock_here() {
    const sigset_t set = ending_signal_set();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

int StopSignals::take() {
    unsigned char b = 0;
    while (::read(read_fd_, &b, 1) == 1) {
        if (first_ == 0) first_ = b;
    }
    return first_;
}

}  // namespace quorvel::run
