#pragma once
// One run's worth of the program, wired together: the window handles, the bridge the core
// speaks through and the session that owns the records, the thread and the ports.
// Window thread.

#include "comm/serial_port.h"
#include "core/session.h"
#include "shell/app_context.h"
#include "shell/desktop_documents.h"
#include "shell/file_dialogs.h"
#include "shell/notification_bridge.h"
#include "shell/window_registry.h"

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
