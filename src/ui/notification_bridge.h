#pragma once
// The core's notifications delivered to Qt windows. Every notification, command and message
// is put in the bridge's own queue under its lock, and a bare wake-up event tells the
// window thread to take them; so the hand-over between the threads rests on our lock, not
// on Qt's internals. One wake-up is pending at most, however many items wait, so a busy
// communication thread costs the window thread one event per pass. Only send() waits, until
// the window thread has handled it or shutdown() releases every waiter, so stopping the
// communication thread can never deadlock with it. Messages never make anyone wait: they
// are shown by the window thread when it takes them. Any thread, except deliver():
// window thread.

#include <QObject>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "ui/window_ids.h"

namespace quorvel {

class WindowRegistry;
class MessagePresenter;

class NotificationBridge final : public QObject, public Notifier {
  public:
    NotificationBridge(WindowRegistry& windows, MessagePresenter& presenter);
    ~NotificationBridge() override;

    bool is_open(WindowId w) const override;
    void post(WindowId w, Note note, int param = 0) override;
    void send(WindowId w, Note note, int param = 0) override;
    void post_command(WindowId w, int command) override;
    void post_message(WindowId owner, const std::string& text, const std::string& caption) override;
    void shutdown() override;
    bool shutting_down() const;

    // Delivers a notification now; nothing when the window is closed. Window thread.
    void deliver(WindowId w, Note note, int param);

  protected:
    void customEvent(QEvent* event) override;

  private:
    struct Item {
        enum Kind { Notification, Command, Message } kind;
        WindowId window;
        Note note = Note::StartInit;
        int value = 0;  // the notification's parameter, or the command
        std::string text;
        std::string caption;
        std::shared_ptr<bool> done;  // set when handled; null unless someone waits
    };

    bool on_window_thread() const;
    // Queues the item and makes sure a wake-up is on its way; with a completion, waits.
    void enqueue(Item item);
    void wake_locked();
    void handle(const Item& item);

    WindowRegistry& windows_;
    MessagePresenter& presenter_;
    mutable std::mutex mutex_;
    std::condition_variable handled_;
    std::deque<Item> queue_;
    bool wake_pending_ = false;
    bool shutting_down_ = false;
};

}  // namespace quorvel
