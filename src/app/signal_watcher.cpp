#include "signal_watcher.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QSocketNotifier>

#include "common/ending_signals.h"

namespace quorvel {

SignalWatcher::SignalWatcher(std::function<void()> callback) : on_signal_(std::move(callback)) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds_) != 0) return;
    notifier_ = new QSocketNotifier(fds_[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] {
        char buf[16];
        while (::read(fds_[0], buf, sizeof buf) > 0) {
        }
        if (on_signal_) on_signal_();
    });
    route_ending_signals(fds_[1]);
}

SignalWatcher::~SignalWatcher() {
    restore_ending_signals();
    delete notifier_;  // before its descriptor goes
    for (const int fd : fds_)
        if (fd >= 0) ::close(fd);
}

}  // namespace quorvel
