#include "quorvel_application.h"

#include <QKeyEvent>

#include "ui/notification_bridge.h"
#include "ui/window_registry.h"

namespace quorvel {

QuorvelApplication::QuorvelApplication(int& argc, char** argv)
    : QApplication(argc, argv), caret_flash_ms_(cursorFlashTime()) {
    caret_rest_.setSingleShot(true);
    connect(&caret_rest_, &QTimer::timeout, this, [] { setCursorFlashTime(0); });
    caret_rest_.start(kCaretRestMs);
}

void QuorvelApplication::caret_wakes() {
    if (caret_flash_ms_ > 0 && cursorFlashTime() == 0) setCursorFlashTime(caret_flash_ms_);
    caret_rest_.start();
}

void QuorvelApplication::route_enter_to_terminal(WindowRegistry* windows,
                                                 NotificationBridge* bridge) {
    windows_ = windows;
    bridge_ = bridge;
}

bool QuorvelApplication::notify(QObject* receiver, QEvent* event) {
    switch (event->type()) {
        case QEvent::KeyPress:
        case QEvent::MouseButtonPress:
        case QEvent::Wheel:
        case QEvent::InputMethod:
            caret_wakes();
            break;
        default:
            break;
    }
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
