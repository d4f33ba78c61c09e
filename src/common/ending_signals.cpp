#include "ending_signals.h"

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

}  // namespace

sigset_t ending_signal_set() {
    sigset_t set;
    sigemptyset(&set);
    for (const int sig : kEndingSignals) sigaddset(&set, sig);
    return set;
}

void route_ending_signals(int fd) {
    signal_fd.store(fd);
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (const int sig : kEndingSignals) ::sigaction(sig, &sa, nullptr);
}

void restore_ending_signals() {
    for (const int sig : kEndingSignals) ::signal(sig, SIG_DFL);
    signal_fd.store(-1);
}

}  // namespace quorvel
