#pragma once
// The core's notifications delivered to Qt windows. Posts become queued events handled on
// the window thread; sends and messages from another thread wait until the window thread
// has handled them, or until shutdown() releases every waiter, so stopping the
// communication thread can never deadlock with it. Any thread, except shutdown(): window
// thread.

#include <QObject>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <functional>

#include "comm/notifier.h"

namespace quorvel {

class WindowRegistry;
class MessagePresenter;

class NotificationBridge final : public QObject, public Notifier {
public:
    NotificationBridge(WindowRegistry& windows, MessagePresenter& presenter);
    ~NotificationBridge() override;

    bool is_open(WindowId w) const override;
    void post(WindowId w, int code, int param) override;
    void send(WindowId w, int code, int param) override;
    void post_command(WindowId w, int command) override;
    void show_message(WindowId owner, const std::string& text, const std::string& caption) override;

    // From now on nothing waits for the window thread: pending waiters return at once and
    // later posts are dropped.
    void shutdown();
    bool shutting_down() const;

    // Delivers a notification or command now (window thread); nothing when the window is closed.
    void deliver(WindowId w, bool is_command, int code, int param);

    struct Completion;

protected:
    void customEvent(QEvent* event) override;

private:
    bool on_window_thread() const;
    // Posts the event and, when completion is given, waits for it.
    void dispatch(QEvent* event, const std::shared_ptr<Completion>& completion);

    WindowRegistry& windows_;
    MessagePresenter& presenter_;
    mutable std::mutex mutex_;
    std::condition_variable done_;
    bool shutting_down_ = false;
};

}  // namespace quorvel
