#pragma once
// One run's worth of the program, wired together: the window handles, the bridge the core
// speaks through and the session that owns the records, the thread and the ports.
// Window thread.

#include "comm/serial_port.h"
#include "session/session.h"
#include "ui/app_context.h"
#include "ui/desktop_documents.h"
#include "ui/file_dialogs.h"
#include "ui/notification_bridge.h"
#include "ui/window_registry.h"

namespace quorvel {

struct AppServices {
    // Without a provider, COM1..COM4 are the serial devices /dev/ttyS0..3.
    explicit AppServices(MessagePresenter& p, PortProvider* ports = nullptr,
                         SessionOptions options = {})
        : presenter(p), session(bridge, ports ? *ports : fallback_ports, options) {}
    AppServices(const AppServices&) = delete;
    AppServices& operator=(const AppServices&) = delete;

    DevicePortProvider fallback_ports;
    WindowRegistry windows;
    MessagePresenter& presenter;
    NotificationBridge bridge{windows, presenter};
    Session session;
    System& sys = session.sys();
    FileDialogs dialogs = FileDialogs::standard();
    DesktopDocuments documents = DesktopDocuments::standard();
    AppContext ctx{session, sys, windows, bridge, presenter, dialogs, documents};
};

}  // namespace quorvel
