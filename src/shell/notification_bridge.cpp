#include "notification_bridge.h"

#include <QCoreApplication>
#include <QEvent>
#include <QThread>

#include "shell/message_presenter.h"
#include "shell/window_registry.h"

namespace quorvel {

struct NotificationBridge::Completion {
    bool done = false;
};

namespace {

const QEvent::Type kNotifyEvent = static_cast<QEvent::Type>(QEvent::User + 1);
const QEvent::Type kMessageEvent = static_cast<QEvent::Type>(QEvent::User + 2);

// Releases its waiter when destroyed, handled or not: an event that Qt discards at exit
// must not leave the communication thread waiting forever.
class BridgeEvent : public QEvent {
public:
    BridgeEvent(Type type, std::function<void()> release) : QEvent(type), release_(std::move(release)) {}
    ~BridgeEvent() override {
        if (release_) release_();
    }

private:
    std::function<void()> release_;
};

class NotifyEvent final : public BridgeEvent {
public:
    NotifyEvent(WindowId w, bool is_command, int code, int param, std::function<void()> release)
        : BridgeEvent(kNotifyEvent, std::move(release)), window(w), is_command(is_command), code(code), param(param) {}
    WindowId window;
    bool is_command;
    int code;
    int param;
};

class MessageEvent final : public BridgeEvent {
public:
    MessageEvent(WindowId owner, QString text, QString caption, std::function<void()> release)
        : BridgeEvent(kMessageEvent, std::move(release)), owner(owner), text(std::move(text)), caption(std::move(caption)) {}
    WindowId owner;
    QString text;
    QString caption;
};

}  // namespace

NotificationBridge::NotificationBridge(WindowRegistry& windows, MessagePresenter& presenter)
    : windows_(windows), presenter_(presenter) {}

NotificationBridge::~NotificationBridge() {
    shutdown();
    // Pending events refer to this object's lock; destroy them while it still exists.
    QCoreApplication::removePostedEvents(this);
}

bool NotificationBridge::is_open(WindowId w) const { return windows_.is_open(w); }

bool NotificationBridge::on_window_thread() const { return QThread::currentThread() == thread(); }

void NotificationBridge::post(WindowId w, int code, int param) {
    if (shutting_down()) return;
    QCoreApplication::postEvent(this, new NotifyEvent(w, false, code, param, {}));
}

void NotificationBridge::post_command(WindowId w, int command) {
    if (shutting_down()) return;
    QCoreApplication::postEvent(this, new NotifyEvent(w, true, command, 0, {}));
}

void NotificationBridge::send(WindowId w, int code, int param) {
    if (on_window_thread()) {
        deliver(w, false, code, param);
        return;
    }
    auto completion = std::make_shared<Completion>();
    std::weak_ptr<Completion> weak = completion;
    dispatch(new NotifyEvent(w, false, code, param, [this, weak] {
                 std::lock_guard lock(mutex_);
                 if (auto c = weak.lock()) c->done = true;
                 done_.notify_all();
             }),
             completion);
}

void NotificationBridge::show_message(WindowId owner, const std::string& text,
                                      const std::string& caption) {
    if (on_window_thread()) {
        presenter_.message(windows_.widget(owner), QString::fromStdString(text),
                           QString::fromStdString(caption));
        return;
    }
    auto completion = std::make_shared<Completion>();
    std::weak_ptr<Completion> weak = completion;
    dispatch(new MessageEvent(owner, QString::fromStdString(text), QString::fromStdString(caption),
                              [this, weak] {
                                  std::lock_guard lock(mutex_);
                                  if (auto c = weak.lock()) c->done = true;
                                  done_.notify_all();
                              }),
             completion);
}

void NotificationBridge::dispatch(QEvent* event, const std::shared_ptr<Completion>& completion) {
    {
        std::lock_guard lock(mutex_);
        if (shutting_down_) {
            completion->done = true;
        }
    }
    if (completion->done) {
        delete event;
        return;
    }
    QCoreApplication::postEvent(this, event);
    std::unique_lock lock(mutex_);
    done_.wait(lock, [&] { return completion->done || shutting_down_; });
}

void NotificationBridge::shutdown() {
    std::lock_guard lock(mutex_);
    shutting_down_ = true;
    done_.notify_all();
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

void NotificationBridge::customEvent(QEvent* event) {
    if (event->type() == kNotifyEvent) {
        auto* e = static_cast<NotifyEvent*>(event);
        deliver(e->window, e->is_command, e->code, e->param);
    } else if (event->type() == kMessageEvent) {
        auto* e = static_cast<MessageEvent*>(event);
        if (!shutting_down()) presenter_.message(windows_.widget(e->owner), e->text, e->caption);
    }
}

}  // namespace quorvel
