#pragma once
// What a pass of the communication thread runs for the layers above it, each at its place in
// the pass: the calibration after the initialisation, the method's wait and runner, and the
// settings the status line shows. The session installs them. Communication thread.

#include "common/settings.h"

namespace quorvel {

class PassHooks {
  public:
    virtual ~PassHooks() = default;

    // First thing in every pass.
    virtual void pass_begins() {}
    // The settings the status line shows.
    virtual PumpSettings settings() const { return {}; }
    // The initialisation's last script line is queued: what must follow it (the
    // calibration) is queued now, before anyone can see the initialisation over.
    virtual void initialisation_scripts_sent() {}
    // Time has passed since the previous pass: the method's wait runs down.
    virtual void count_down_method_wait(int /*elapsed_ms*/) {}
    // Whether a front end follows the method this pass: only then does its runner run and do
    // its waits and valve moves light their lamps.
    virtual bool method_followed() const { return false; }
    // A step's wait is running.
    virtual bool method_waiting() const { return false; }
    // One step of the method runner.
    virtual void method_step() {}
    // Last thing in every pass, after the front end has heard of its end.
    virtual void pass_ends() {}
};

}  // namespace quorvel
