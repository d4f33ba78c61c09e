#pragma once
// The application object of the windows. Every Enter key pressed anywhere in the program
// also reaches the Terminal window while it is open (it sends its typed line on it).
// A text caret blinks while the operator works and rests, steady, once nothing has been
// typed or clicked for a while (as GNOME does), so that a program left alone draws nothing.
// Window thread.

#include <QApplication>
#include <QTimer>

namespace quorvel {

class WindowRegistry;
class NotificationBridge;

class QuorvelApplication final : public QApplication {
  public:
    QuorvelApplication(int& argc, char** argv);
    void route_enter_to_terminal(WindowRegistry* windows, NotificationBridge* bridge);
    bool notify(QObject* receiver, QEvent* event) override;

    static constexpr int kCaretRestMs = 10000;
    void set_caret_rest_ms(int ms) { caret_rest_.start(ms); }

  private:
    void caret_wakes();

    QTimer caret_rest_;
    int caret_flash_ms_ = 0;  // the desktop's own blink period
    WindowRegistry* windows_ = nullptr;
    NotificationBridge* bridge_ = nullptr;
};

}  // namespace quorvel
