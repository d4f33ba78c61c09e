#include "window_registry.h"

namespace quorvel {

void WindowRegistry::set(WindowId id, QWidget* widget, NotifiedWindow* handler) {
    widgets_[index(id)] = widget;
    handlers_[index(id)] = handler;
    set_open(id, widget != nullptr);
}

void WindowRegistry::clear(WindowId id, const QWidget* widget) {
    // Only the window itself forgets its handle; a newer window of that kind stays.
    if (widgets_[index(id)] != widget && !widgets_[index(id)].isNull()) return;
    widgets_[index(id)] = nullptr;
    handlers_[index(id)] = nullptr;
    set_open(id, false);
}

void WindowRegistry::set_open(WindowId id, bool open) {
    const bool was = open_[index(id)].exchange(open);
    if (was != open && open_changed_) open_changed_(id, open);
}

QWidget* WindowRegistry::widget(WindowId id) const {
    return widgets_[index(id)].data();
}

NotifiedWindow* WindowRegistry::handler(WindowId id) const {
    return widgets_[index(id)].isNull() ? nullptr : handlers_[index(id)];
}

}  // namespace quorvel
