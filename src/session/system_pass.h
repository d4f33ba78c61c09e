#pragma once
// The communication thread's pass as the session runs it: the method runner, the method's
// wait and the calibration after the initialisation hooked into it, on one System.
// Communication thread (or a test driving passes).

#include <cstdint>
#include <functional>

#include "comm/pass_hooks.h"

namespace quorvel {

struct System;

class SystemPass final : public PassHooks {
  public:
    // before_pass: called first thing in every pass (a test's seam); after_pass: last (the
    // record of runs). Either may be empty.
    explicit SystemPass(System& sys, std::function<void()> before_pass = {},
                        std::function<void()> after_pass = {})
        : sys_(sys), before_pass_(std::move(before_pass)), after_pass_(std::move(after_pass)) {}

    // One pass of the communication thread over the system.
    void run(std::uint32_t now_ms);

    void pass_begins() override;
    PumpSettings settings() const override;
    void initialisation_scripts_sent() override;
    void count_down_method_wait(int elapsed_ms) override;
    bool method_followed() const override;
    bool method_waiting() const override;
    void method_step() override;
    void pass_ends() override;

  private:
    System& sys_;
    std::function<void()> before_pass_;
    std::function<void()> after_pass_;
};

}  // namespace quorvel
