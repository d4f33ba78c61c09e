#include "stop_signals.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>

namespace quorvel::run {
namespace {

constexpr int kStopSignals[] = {SIGHUP,  SIGINT,  SIGQUIT, SIGTERM, SIGUSR1,
                                SIGUSR2, SIGALRM, SIGXCPU, SIGXFSZ, SIGPWR};

std::atomic<int> write_fd{-1};
static_assert(std::atomic<int>::is_always_lock_free);

void on_signal(int sig) {
    const int fd = write_fd.load();
    if (fd < 0) return;
    const unsigned char b = static_cast<unsigned char>(sig);
    [[maybe_unused]] const ssize_t n = ::write(fd, &b, 1);
}

sigset_t stop_set() {
    sigset_t set;
    sigemptyset(&set);
    for (const int sig : kStopSignals) sigaddset(&set, sig);
    return set;
}

}  // namespace

StopSignals::StopSignals() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
    read_fd_ = fds[0];
    write_fd.store(fds[1]);
    const sigset_t set = stop_set();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (const int sig : kStopSignals) ::sigaction(sig, &sa, nullptr);
}

StopSignals::~StopSignals() {
    for (const int sig : kStopSignals) ::signal(sig, SIG_DFL);
    const int fd = write_fd.exchange(-1);
    if (fd >= 0) ::close(fd);
    if (read_fd_ >= 0) ::close(read_fd_);
}

void StopSignals::unblock_here() {
    const sigset_t set = stop_set();
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
