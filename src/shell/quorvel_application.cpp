#include "quorvel_application.h"

#include <QKeyEvent>

#include "shell/notification_bridge.h"
#include "shell/window_registry.h"

namespace quorvel {

QuorvelApplication::QuorvelApplication(int& argc, char** argv) : QApplication(argc, argv) {}

void QuorvelApplication::route_enter_to_terminal(WindowRegistry* windows,
                                                 NotificationBridge* bridge) {
    windows_ = windows;
    bridge_ = bridge;
}

bool QuorvelApplication::notify(QObject* receiver, QEvent* event) {
    // Only the key press as it comes from the keyboard: widgets that forward a key to a
    // child send it again, and that copy must not count twice.
    if (event->type() == QEvent::KeyPress && event->spontaneous() && windows_ && bridge_) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if ((key == Qt::Key_Return || key == Qt::Key_Enter) &&
            windows_->is_open(WindowId::Terminal)) {
            bridge_->post(WindowId::Terminal, Note::TerminalEnter);
        }
    }
    return QApplication::notify(receiver, event);
}

}  // namespace quorvel
