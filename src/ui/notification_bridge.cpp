#include "notification_bridge.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEvent>
#include <QSocketNotifier>
#include <QThread>
#include <cstdint>

#include "ui/message_presenter.h"
#include "ui/window_registry.h"

namespace quorvel {
namespace {

const QEvent::Type kWakeEvent = static_cast<QEvent::Type>(QEvent::User + 1);

}  // namespace

NotificationBridge::NotificationBridge(WindowRegistry& windows, MessagePresenter& presenter)
    : windows_(windows), presenter_(presenter), pass_fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (!pass_fd_) return;
    pass_notifier_ = new QSocketNotifier(pass_fd_.get(), QSocketNotifier::Read, this);
    connect(pass_notifier_, &QSocketNotifier::activated, this, [this] { deliver_pass_done(); });
}

NotificationBridge::~NotificationBridge() {
    shutdown();
    QCoreApplication::removePostedEvents(this);
    delete pass_notifier_;  // before its descriptor goes
}

bool NotificationBridge::is_open(WindowId w) const {
    return windows_.is_open(w);
}

bool NotificationBridge::on_window_thread() const {
    return QThread::currentThread() == thread();
}

void NotificationBridge::post(WindowId w, Note note, int param) {
    enqueue({Item::Notification, w, note, param, {}, {}, nullptr});
}

void NotificationBridge::post_command(WindowId w, int command) {
    enqueue({Item::Command, w, Note::StartInit, command, {}, {}, nullptr});
}

void NotificationBridge::send(WindowId w, Note note, int param) {
    if (on_window_thread()) {
        deliver(w, note, param);
        return;
    }
    enqueue({Item::Notification, w, note, param, {}, {}, std::make_shared<bool>(false)});
}

void NotificationBridge::post_message(WindowId owner, const std::string& text,
                                      const std::string& caption) {
    enqueue({Item::Message, owner, Note::StartInit, 0, text, caption, nullptr});
}

void NotificationBridge::post_pass_done() {
    if (closed_.load()) return;
    if (!pass_fd_) {
        for (const WindowId w : {WindowId::Method, WindowId::Test, WindowId::Status}) {
            if (is_open(w)) post(w, Note::PassDone);
        }
        return;
    }
    if (pass_pending_.exchange(true)) return;
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(pass_fd_.get(), &one, sizeof one);
}

void NotificationBridge::deliver_pass_done() {
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t n = ::read(pass_fd_.get(), &count, sizeof count);
    // Cleared before the windows look, so a pass that ends meanwhile wakes them again.
    pass_pending_.store(false);
    if (closed_.load()) return;
    for (const WindowId w : {WindowId::Method, WindowId::Test, WindowId::Status})
        deliver(w, Note::PassDone, 0);
}

void NotificationBridge::wake_locked() {
    if (wake_pending_) return;
    wake_pending_ = true;
    QCoreApplication::postEvent(this, new QEvent(kWakeEvent));
}

void NotificationBridge::enqueue(Item item) {
    const std::shared_ptr<bool> done = item.done;
    std::unique_lock lock(mutex_);
    if (shutting_down_) return;
    queue_.push_back(std::move(item));
    wake_locked();
    if (done) handled_.wait(lock, [&] { return *done || shutting_down_; });
}

void NotificationBridge::shutdown() {
    std::lock_guard lock(mutex_);
    shutting_down_ = true;
    closed_.store(true);
    queue_.clear();
    handled_.notify_all();
}

bool NotificationBridge::shutting_down() const {
    std::lock_guard lock(mutex_);
    return shutting_down_;
}

void NotificationBridge::deliver(WindowId w, Note note, int param) {
    if (NotifiedWindow* handler = windows_.handler(w)) handler->notify(note, param);
}

void NotificationBridge::handle(const Item& item) {
    switch (item.kind) {
        case Item::Notification:
            deliver(item.window, item.note, item.value);
            break;
        case Item::Command:
            if (NotifiedWindow* handler = windows_.handler(item.window))
                handler->command(item.value);
            break;
        case Item::Message:
            presenter_.message(windows_.widget(item.window), QString::fromStdString(item.text),
                               QString::fromStdString(item.caption));
            break;
    }
}

void NotificationBridge::customEvent(QEvent* event) {
    if (event->type() != kWakeEvent) return;
    {
        std::lock_guard lock(mutex_);
        wake_pending_ = false;
    }
    for (;;) {
        Item item;
        {
            std::lock_guard lock(mutex_);
            if (queue_.empty()) return;
            item = std::move(queue_.front());
            queue_.pop_front();
            // A handler may run a nested loop (a message box, a file dialog) until the
            // operator closes it; whatever waits behind it is handled in that loop, in
            // order, so it needs a wake-up of its own.
            if (!queue_.empty()) wake_locked();
        }
        handle(item);
        if (item.done) {
            std::lock_guard lock(mutex_);
            *item.done = true;
            handled_.notify_all();
        }
    }
}

}  // namespace quorvel
