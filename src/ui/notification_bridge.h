#pragma once
// Notifications, commands and messages for the windows, from any thread, delivered on the
// window thread. Every item is put in the bridge's own queue under its lock, and a bare
// wake-up event tells the window thread to take them; so the hand-over between the threads
// rests on our lock, not on Qt's internals. One wake-up is pending at most, however many
// items wait. The end of every pass has a channel of its own that allocates nothing: a flag
// and an eventfd, one wake-up pending at most. Only send() waits, until the window thread
// has handled it or shutdown() releases every waiter, so stopping the communication thread
// can never deadlock with it. Messages never make anyone wait: they are shown by the window
// thread when it takes them. Any thread, except deliver(): window thread.

#include <QObject>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "common/unique_fd.h"
#include "ui/window_ids.h"

class QSocketNotifier;

namespace quorvel {

class WindowRegistry;
class MessagePresenter;

class NotificationBridge final : public QObject {
  public:
    NotificationBridge(WindowRegistry& windows, MessagePresenter& presenter);
    ~NotificationBridge() override;

    bool is_open(WindowId w) const;
    // Queued; dropped when the window is closed by the time it is delivered.
    void post(WindowId w, Note note, int param = 0);
    // Handled before this returns (or dropped at shutdown). Never call it holding a lock
    // the window thread may take.
    void send(WindowId w, Note note, int param = 0);
    // A command (button or menu identifier), queued.
    void post_command(WindowId w, int command);
    // A modal message with an OK button, owned by `owner`, shown by the window thread
    // after whatever it is doing now. Returns at once, so it is safe under any lock.
    void post_message(WindowId owner, const std::string& text, const std::string& caption);
    // PassDone for whichever of the Method, Test and Status windows is open when it is
    // delivered. Allocates nothing; passes that end while one waits share it.
    void post_pass_done();
    // From now on nothing waits for a window: a thread inside send() returns, later calls
    // are dropped.
    void shutdown();
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
    void deliver_pass_done();

    WindowRegistry& windows_;
    MessagePresenter& presenter_;
    mutable std::mutex mutex_;
    std::condition_variable handled_;
    std::deque<Item> queue_;
    bool wake_pending_ = false;
    bool shutting_down_ = false;

    UniqueFd pass_fd_;  // an eventfd the window thread watches
    QSocketNotifier* pass_notifier_ = nullptr;
    std::atomic<bool> pass_pending_{false};
    std::atomic<bool> closed_{false};  // shutting_down_, for the lock-free pass channel
};

}  // namespace quorvel
