#pragma once
// The windows' listener of the session: each event goes to the window that shows it, as a
// notification through the bridge, and only while that window is open. Any thread.

#include "session/session_listener.h"

namespace quorvel {

class WindowRegistry;
class NotificationBridge;

class EventRouter final : public SessionListener {
  public:
    EventRouter(WindowRegistry& windows, NotificationBridge& bridge)
        : windows_(windows), bridge_(bridge) {}

    void terminal_line(std::string_view line) override;
    void reply_timed_out(DeviceRole role) override;
    void backlash_read() override;
    void initialisation_advanced() override;
    void initialisation_finished() override;
    void pass_done() override;
    void status_line_changed() override;
    void message(const std::string& text, const std::string& caption) override;
    void run_mode_changed(MethodRunMode mode) override;
    void running_row_changed(int row) override;
    void run_failed(const RunFailure& f) override;
    void initialisation_requested() override;
    void shutting_down() override;

  private:
    WindowRegistry& windows_;
    NotificationBridge& bridge_;
};

}  // namespace quorvel
