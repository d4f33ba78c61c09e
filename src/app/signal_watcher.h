#pragma once
// The signals that end a program (SIGTERM, SIGINT, SIGHUP, SIGQUIT and the others whose
// default is to terminate) become a call on the window thread, so they end it through the
// same shutdown as Quit. Window thread.

#include <QObject>
#include <functional>

class QSocketNotifier;

namespace quorvel {

class SignalWatcher final : public QObject {
  public:
    explicit SignalWatcher(std::function<void()> on_signal);
    ~SignalWatcher() override;

  private:
    std::function<void()> on_signal_;
    QSocketNotifier* notifier_ = nullptr;
    int fds_[2] = {-1, -1};
};

}  // namespace quorvel
