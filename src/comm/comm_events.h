#pragma once
// What the device communication tells whoever follows it: the front end, through the
// session. Every member has a default that ignores the event. Each says which thread calls
// it; none may wait for the operator.

#include <string>
#include <string_view>

namespace quorvel {

// The two devices, also what a reply time-out names.
enum class DeviceRole : int { Pump = 1, Valve = 2 };

class CommEvents {
  public:
    virtual ~CommEvents() = default;

    // A pump line was added to the terminal log. Communication thread.
    virtual void terminal_line(std::string_view /*line*/) {}
    // The device did not answer in time. Communication thread.
    virtual void reply_timed_out(DeviceRole) {}
    // The controller reported a backlash setting, now in CommState. Communication thread.
    virtual void backlash_read() {}
    // The initialisation is about to queue its next line. Returns once whoever shows the
    // progress has shown it, or has stopped waiting (shutdown). Communication thread.
    virtual void initialisation_advanced() {}
    // Every script line and the calibration are queued. Communication thread.
    virtual void initialisation_finished() {}
    // A pass has ended: motion flags, activity and method state are as it left them.
    // Communication thread, every pass.
    virtual void pass_done() {}
    // CommState's status line was rebuilt. Communication thread.
    virtual void status_line_changed() {}
    // Something the operator must read, with its caption. Any thread, any lock held.
    virtual void message(const std::string& /*text*/, const std::string& /*caption*/) {}
};

}  // namespace quorvel
