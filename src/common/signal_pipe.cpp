#include "signal_pipe.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>

namespace quorvel {
namespace {

std::atomic<int> signal_fd{-1};
static_assert(std::atomic<int>::is_always_lock_free);

void on_signal(int sig) {
    const int fd = signal_fd.load();
    if (fd < 0) return;
    const auto b = static_cast<unsigned char>(sig);
    [[maybe_unused]] const ssize_t n = ::write(fd, &b, 1);
}

sigset_t ending_signal_set() {
    sigset_t set;
    sigemptyset(&set);
    for (const int sig : kEndingSignals) sigaddset(&set, sig);
    return set;
}

}  // namespace

SignalPipe::SignalPipe(Block block) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
    pipe_.read.reset(fds[0]);
    pipe_.write.reset(fds[1]);
    if (block == Block::UntilUnblocked) {
        const sigset_t set = ending_signal_set();
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
    }
    signal_fd.store(pipe_.write.get());
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (const int sig : kEndingSignals) ::sigaction(sig, &sa, nullptr);
}

SignalPipe::~SignalPipe() {
    if (!ok()) return;
    for (const int sig : kEndingSignals) ::signal(sig, SIG_DFL);
    signal_fd.store(-1);
}

void SignalPipe::unblock_here() {
    const sigset_t set = ending_signal_set();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

int SignalPipe::take() {
    unsigned char buf[16];
    ssize_t n = 0;
    while ((n = ::read(fd(), buf, sizeof buf)) > 0) {
        if (first_ == 0) first_ = buf[0];
    }
    return first_;
}

}  // namespace quorvel
