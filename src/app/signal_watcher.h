#pragma once
// The signals that end a program become a call on the window thread, so they end it through
// the same shutdown as Quit. Window thread.

#include <QObject>
#include <functional>

#include "common/signal_pipe.h"

class QSocketNotifier;

namespace quorvel {

class SignalWatcher final : public QObject {
  public:
    explicit SignalWatcher(std::function<void()> on_signal);
    ~SignalWatcher() override;

  private:
    std::function<void()> on_signal_;
    SignalPipe pipe_;
    QSocketNotifier* notifier_ = nullptr;
};

}  // namespace quorvel
