#include "notification_bridge.h"

#include <QCoreApplication>
#include <QEvent>
#include <QThread>

#include "shell/message_presenter.h"
#include "shell/window_registry.h"

namespace quorvel {
namespace {

const QEvent::Type kWakeEvent = static_cast<QEvent::Type>(QEvent::User + 1);

}  // namespace

NotificationBridge::NotificationBridge(WindowRegistry& windows, MessagePresenter& presenter)
    : windows_(windows), presenter_(presenter) {}

NotificationBridge::~NotificationBridge() {
    shutdown();
    QCoreApplication::removePostedEvents(this);
}

bool NotificationBridge::is_open(WindowId w) const {
    return windows_.is_open(w);
}

bool NotificationBridge::on_window_thread() const {
    return QThread::currentThread() == thread();
}

void NotificationBridge::post(WindowId w, int code, int param) {
    enqueue({Item::Notification, w, code, param, {}, {}, nullptr});
}

void NotificationBridge::post_command(WindowId w, int command) {
    enqueue({Item::Command, w, command, 0, {}, {}, nullptr});
}

void NotificationBridge::send(WindowId w, int code, int param) {
    if (on_window_thread()) {
        deliver(w, false, code, param);
        return;
    }
    enqueue({Item::Notification, w, code, param, {}, {}, std::make_shared<bool>(false)});
}

void NotificationBridge::show_message(WindowId owner, const std::string& text,
                                      const std::string& caption) {
    Item item{Item::Message, owner, 0, 0, text, caption, nullptr};
    if (on_window_thread()) {
        handle(item);
        return;
    }
    item.done = std::make_shared<bool>(false);
    enqueue(std::move(item));
}

void NotificationBridge::enqueue(Item item) {
    const std::shared_ptr<bool> done = item.done;
    {
        std::lock_guard lock(mutex_);
        if (shutting_down_) return;
        queue_.push_back(std::move(item));
    }
    QCoreApplication::postEvent(this, new QEvent(kWakeEvent));
    if (!done) return;
    std::unique_lock lock(mutex_);
    handled_.wait(lock, [&] { return *done || shutting_down_; });
}

void NotificationBridge::shutdown() {
    std::lock_guard lock(mutex_);
    shutting_down_ = true;
    queue_.clear();
    handled_.notify_all();
}

bool NotificationBridge::shutting_down() const {
    std::lock_guard lock(mutex_);
    return shutting_down_;
}

void NotificationBridge::deliver(WindowId w, bool is_command, int code, int param) {
    NotifiedWindow* handler = windows_.handler(w);
    if (!handler) return;
    if (is_command) {
        handler->command(code);
    } else {
        handler->notify(code, param);
    }
}

void NotificationBridge::handle(const Item& item) {
    switch (item.kind) {
        case Item::Notification:
            deliver(item.window, false, item.code, item.param);
            break;
        case Item::Command:
            deliver(item.window, true, item.code, 0);
            break;
        case Item::Message:
            presenter_.message(windows_.widget(item.window), QString::fromStdString(item.text),
                               QString::fromStdString(item.caption));
            break;
    }
}

void NotificationBridge::customEvent(QEvent* event) {
    if (event->type() != kWakeEvent) return;
    // One item per wake-up: a message box opened by one item runs a nested loop in which
    // the wake-ups of the items behind it are handled, in order.
    Item item;
    {
        std::lock_guard lock(mutex_);
        if (queue_.empty()) return;
        item = std::move(queue_.front());
        queue_.pop_front();
    }
    handle(item);
    if (item.done) {
        std::lock_guard lock(mutex_);
        *item.done = true;
        handled_.notify_all();
    }
}

}  // namespace quorvel
