#pragma once
// What the method runner tells whoever follows the method: the front end, through the
// session. Defaults ignore the event; none may wait for the operator.

#include <string>

#include "comm/comm_events.h"

namespace quorvel {

enum class MethodRunMode : int;

// Why a run was ended by the runner itself.
enum class RunFailureKind : int {
    NoEnd,    // the device did not finish the step within its bound
    Refused,  // the controller refused a motion line with its error prompt
    NoPort,   // the device's port hung up, or it has none
};

struct RunFailure {
    RunFailureKind kind = RunFailureKind::NoEnd;
    DeviceRole device = DeviceRole::Pump;
    int row = 0;             // the step's row index
    long long limit_ms = 0;  // the bound that ran out (NoEnd)
};

// "the pump did not finish its move within 14 s"
std::string run_failure_reason(const RunFailure& f);
// "Step 3: " and the reason, then ". The method was reset."
std::string run_failure_text(const RunFailure& f);

class MethodEvents {
  public:
    virtual ~MethodEvents() = default;
    // set_run_mode has changed the mode. The thread that called it.
    virtual void run_mode_changed(MethodRunMode) {}
    // The runner has moved to another row (-1: none), which the front end does not show yet.
    // Communication thread.
    virtual void running_row_changed(int /*row*/) {}
    // The runner ended the run: the run is reset (Idle) and the pump's stop queued.
    // Communication thread.
    virtual void run_failed(const RunFailure&) {}
};

}  // namespace quorvel
