#pragma once
// One run's worth of the program, wired together: the window handles, the bridge and router
// through which the session's events reach the windows, and the session that owns the
// records, the thread and the ports. Window thread.

#include "comm/serial_port.h"
#include "session/session.h"
#include "ui/app_context.h"
#include "ui/desktop_documents.h"
#include "ui/event_router.h"
#include "ui/file_dialogs.h"
#include "ui/notification_bridge.h"
#include "ui/window_registry.h"

namespace quorvel {

struct AppServices {
    // Without a provider, COM1..COM4 are the serial devices /dev/ttyS0..3.
    explicit AppServices(MessagePresenter& p, PortProvider* ports = nullptr,
                         SessionOptions options = {})
        : presenter(p), session(router, ports ? *ports : fallback_ports, std::move(options)) {
        // The method runs while its window is open.
        windows.on_open_changed([this](WindowId w, bool open) {
            if (w == WindowId::Method) session.follow_method(open);
        });
    }
    ~AppServices() { windows.on_open_changed(nullptr); }
    AppServices(const AppServices&) = delete;
    AppServices& operator=(const AppServices&) = delete;

    DevicePortProvider fallback_ports;
    WindowRegistry windows;
    MessagePresenter& presenter;
    NotificationBridge bridge{windows, presenter};
    EventRouter router{windows, bridge};
    Session session;
    System& sys = session.sys();
    FileDialogs dialogs = FileDialogs::standard();
    DesktopDocuments documents = DesktopDocuments::standard();
    AppContext ctx{session, sys, windows, bridge, presenter, dialogs, documents};
};

}  // namespace quorvel
