#pragma once
// The application object of the windows. Every Enter key pressed anywhere in the program
// also reaches the Terminal window while it is open (it sends its typed line on it).
// Window thread.

#include <QApplication>

namespace quorvel {

class WindowRegistry;
class NotificationBridge;

class QuorvelApplication final : public QApplication {
  public:
    QuorvelApplication(int& argc, char** argv);
    void route_enter_to_terminal(WindowRegistry* windows, NotificationBridge* bridge);
    bool notify(QObject* receiver, QEvent* event) override;

  private:
    WindowRegistry* windows_ = nullptr;
    NotificationBridge* bridge_ = nullptr;
};

}  // namespace quorvel
