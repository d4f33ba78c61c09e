#pragma once
// What every window is given: the session and its records, the window handles, the bridge
// the core speaks through and the presenter of modal messages. Window thread.

namespace quorvel {

class Session;
struct System;
class WindowRegistry;
class NotificationBridge;
class MessagePresenter;
struct FileDialogs;
struct DesktopDocuments;

struct AppContext {
    Session& session;
    System& sys;
    WindowRegistry& windows;
    NotificationBridge& bridge;
    MessagePresenter& presenter;
    FileDialogs& dialogs;
    DesktopDocuments& documents;
};

}  // namespace quorvel
