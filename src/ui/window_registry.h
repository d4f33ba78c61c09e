#pragma once
// WindowHandles: one handle per modeless window, empty while it is closed. Handles are
// used on the window thread only; whether a window is open may be asked from any thread.

#include <QPointer>
#include <QWidget>
#include <array>
#include <atomic>
#include <functional>

#include "ui/window_ids.h"

namespace quorvel {

// What every window of the program handles: user notifications and commands.
class NotifiedWindow {
  public:
    virtual ~NotifiedWindow() = default;
    virtual void notify(Note note, int param) = 0;
    virtual void command(int id) = 0;
};

class WindowRegistry {
  public:
    // Window thread.
    void set(WindowId id, QWidget* widget, NotifiedWindow* handler);
    void clear(WindowId id, const QWidget* widget);
    QWidget* widget(WindowId id) const;
    NotifiedWindow* handler(WindowId id) const;

    // Any thread.
    bool is_open(WindowId id) const { return open_[index(id)].load(); }

    // Told on the window thread whenever a window opens or closes. Set once, before any
    // window opens.
    void on_open_changed(std::function<void(WindowId, bool)> f) { open_changed_ = std::move(f); }

  private:
    void set_open(WindowId id, bool open);

    static std::size_t index(WindowId id) { return static_cast<std::size_t>(id); }
    std::array<QPointer<QWidget>, kWindowCount> widgets_;
    std::array<NotifiedWindow*, kWindowCount> handlers_{};
    std::array<std::atomic<bool>, kWindowCount> open_{};
    std::function<void(WindowId, bool)> open_changed_;
};

}  // namespace quorvel
