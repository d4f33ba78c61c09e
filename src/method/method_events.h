#pragma once
// What the method runner tells whoever follows the method: the front end, through the
// session. Defaults ignore the event; none may wait for the operator.

namespace quorvel {

enum class MethodRunMode : int;

class MethodEvents {
  public:
    virtual ~MethodEvents() = default;
    // set_run_mode has changed the mode. The thread that called it.
    virtual void run_mode_changed(MethodRunMode) {}
    // The runner has moved to another row (-1: none), which the front end does not show yet.
    // Communication thread.
    virtual void running_row_changed(int /*row*/) {}
};

}  // namespace quorvel
