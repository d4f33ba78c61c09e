#include "process_guard.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <iterator>

#include "comm/pump_commands.h"
#include "session/session.h"

namespace quorvel {
namespace {

std::atomic<Session*> guarded_session{nullptr};
static_assert(std::atomic<Session*>::is_always_lock_free);
static_assert(std::atomic<int>::is_always_lock_free);

constexpr int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGSYS};
struct sigaction previous_actions[sizeof kCrashSignals / sizeof kCrashSignals[0]];

void shut_down_at_exit() {
    if (Session* s = guarded_session.exchange(nullptr)) s->shut_down();
}

// Async-signal-safe: atomic loads, a write() and two ioctl() system calls.
void on_crash(int sig) {
    if (Session* s = guarded_session.load()) {
        CommState& c = s->sys().comm;
        const int fd = c.pump.emergency_fd.load();
        if (fd >= 0) {
            const char esc = static_cast<char>(kEscapeByte);
            [[maybe_unused]] const ssize_t n = ::write(fd, &esc, 1);
        }
        // As a close would: exclusive mode may outlive the process, and only root gets past it.
        for (const int port_fd : {fd, c.valve.emergency_fd.load()}) {
            if (port_fd >= 0) ::ioctl(port_fd, TIOCNXCL);
        }
    }
    for (std::size_t i = 0; i < std::size(kCrashSignals); ++i) {
        if (kCrashSignals[i] == sig) ::sigaction(sig, &previous_actions[i], nullptr);
    }
    ::raise(sig);  // delivered as before once this handler returns
}

}  // namespace

void guard_process_exit(Session& session) {
    static const bool installed = [] {
        std::atexit(shut_down_at_exit);
        struct sigaction sa {};
        sa.sa_handler = on_crash;
        sigemptyset(&sa.sa_mask);
        for (std::size_t i = 0; i < std::size(kCrashSignals); ++i) {
            ::sigaction(kCrashSignals[i], &sa, &previous_actions[i]);
        }
        return true;
    }();
    (void)installed;
    guarded_session.store(&session);
}

void release_process_guard(Session& session) {
    Session* self = &session;
    guarded_session.compare_exchange_strong(self, nullptr);
}

}  // namespace quorvel
