#pragma once
// What every window is given: the system's records, the window handles, the bridge the
// core speaks through and the presenter of modal messages. Window thread.

namespace quorvel {

struct System;
class WindowRegistry;
class NotificationBridge;
class MessagePresenter;

struct AppContext {
    System& sys;
    WindowRegistry& windows;
    NotificationBridge& bridge;
    MessagePresenter& presenter;
};

}  // namespace quorvel
