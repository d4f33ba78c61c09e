#include "signal_watcher.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QSocketNotifier>

namespace quorvel {
namespace {

int signal_fds[2] = {-1, -1};

// Every signal whose default is to end the program, short of a crash: the terminal closed
// (HUP), Ctrl+C and Ctrl+backslash, a kill, and the rest. Each ends it through the shutdown.
constexpr int kEndingSignals[] = {SIGHUP,  SIGINT,  SIGQUIT, SIGTERM, SIGUSR1,
                                  SIGUSR2, SIGALRM, SIGXCPU, SIGXFSZ, SIGPWR};

// Only an async-signal-safe write here; the window thread does the rest.
void on_signal(int) {
    const char b = 1;
    [[maybe_unused]] const auto n = ::write(signal_fds[1], &b, 1);
}

}  // namespace

SignalWatcher::SignalWatcher(std::function<void()> callback) : on_signal_(std::move(callback)) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signal_fds) != 0)
        return;
    notifier_ = new QSocketNotifier(signal_fds[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] {
        char buf[16];
        while (::read(signal_fds[0], buf, sizeof buf) > 0) {
        }
        if (on_signal_) on_signal_();
    });
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (const int sig : kEndingSignals) ::sigaction(sig, &sa, nullptr);
}

SignalWatcher::~SignalWatcher() {
    for (const int sig : kEndingSignals) ::signal(sig, SIG_DFL);
}

}  // namespace quorvel
