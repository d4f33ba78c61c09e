#pragma once
// The core's notifications delivered to Qt windows. Every notification, command and message
// is put in the bridge's own queue under its lock, and a bare wake-up event tells the
// window thread to take them; so the hand-over between the threads rests on our lock, not
// on Qt's internals. Sends and messages from another thread wait until the window thread
// has handled them, or until shutdown() releases every waiter, so stopping the
// communication thread can never deadlock with it. Any thread, except shutdown() and
// deliver(): window thread.

#include <QObject>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

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

    // Delivers a notification or command now; nothing when the window is closed.
    void deliver(WindowId w, bool is_command, int code, int param);

  protected:
    void customEvent(QEvent* event) override;

  private:
    struct Item {
        enum Kind { Notification, Command, Message } kind;
        WindowId window;
        int code = 0;
        int param = 0;
        std::string text;
        std::string caption;
        std::shared_ptr<bool> done;  // set when handled; null for posts
    };

    bool on_window_thread() const;
    // Queues the item; when it carries a completion, waits for it.
    void enqueue(Item item);
    void handle(const Item& item);

    WindowRegistry& windows_;
    MessagePresenter& presenter_;
    mutable std::mutex mutex_;
    std::condition_variable handled_;
    std::deque<Item> queue_;
    bool shutting_down_ = false;
};

}  // namespace quorvel
