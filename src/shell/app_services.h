#pragma once
// One run's worth of the program's state, wired together: the records, the window handles
// and the bridge the core speaks through. Window thread.

#include "shell/app_context.h"
#include "shell/notification_bridge.h"
#include "shell/system.h"
#include "shell/window_registry.h"

namespace quorvel {

struct AppServices {
    explicit AppServices(MessagePresenter& p) : presenter(p) { sys.set_notifier(bridge); }
    AppServices(const AppServices&) = delete;
    AppServices& operator=(const AppServices&) = delete;

    System sys;
    WindowRegistry windows;
    MessagePresenter& presenter;
    NotificationBridge bridge{windows, presenter};
    AppContext ctx{sys, windows, bridge, presenter};
};

}  // namespace quorvel
