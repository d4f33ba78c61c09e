#include "window_registry.h"

namespace quorvel {

void WindowRegistry::set(WindowId id, QWidget* widget, NotifiedWindow* handler) {
    widgets_[index(id)] = widget;
    handlers_[index(id)] = handler;
    open_[index(id)].store(widget != nullptr);
}

void WindowRegistry::clear(WindowId id, const QWidget* widget) {
    // Only the window itself forgets its handle; a newer window of that kind stays.
    if (widgets_[index(id)] != widget && !widgets_[index(id)].isNull()) return;
    widgets_[index(id)] = nullptr;
    handlers_[index(id)] = nullptr;
    open_[index(id)].store(false);
}

QWidget* WindowRegistry::widget(WindowId id) const {
    return widgets_[index(id)].data();
}

NotifiedWindow* WindowRegistry::handler(WindowId id) const {
    return widgets_[index(id)].isNull() ? nullptr : handlers_[index(id)];
}

}  // namespace quorvel
