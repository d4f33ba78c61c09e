#include "signal_watcher.h"

#include <QSocketNotifier>

namespace quorvel {

SignalWatcher::SignalWatcher(std::function<void()> callback) : on_signal_(std::move(callback)) {
    if (!pipe_.ok()) return;
    notifier_ = new QSocketNotifier(pipe_.fd(), QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] {
        pipe_.take();
        if (on_signal_) on_signal_();
    });
}

SignalWatcher::~SignalWatcher() {
    delete notifier_;  // before its descriptor goes
}

}  // namespace quorvel
