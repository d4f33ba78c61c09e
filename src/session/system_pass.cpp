#include "system_pass.h"

#include "comm/comm_thread.h"
#include "method/method_runner.h"
#include "session/system.h"

namespace quorvel {

void set_run_mode(System& sys, MethodRunMode mode) {
    set_run_mode(sys.run, sys.method_table, sys.comm, mode);
}

void SystemPass::run(std::uint32_t now_ms) {
    comm_thread_pass(sys_.comm, *this, now_ms);
}

void SystemPass::pass_ends() {
    if (after_pass_) after_pass_();
}

void SystemPass::pass_begins() {
    if (before_pass_) before_pass_();
}

PumpSettings SystemPass::settings() const {
    return sys_.settings();
}

void SystemPass::initialisation_scripts_sent() {
    apply_calibration(sys_.config, sys_.comm, sys_.settings().enable_pump_ul);
}

void SystemPass::count_down_method_wait(int elapsed_ms) {
    method_wait_countdown(sys_.run, sys_.comm, elapsed_ms);
}

bool SystemPass::method_followed() const {
    return sys_.run.followed.load();
}

bool SystemPass::method_waiting() const {
    return sys_.run.wait_remaining_ms.load() != 0;
}

void SystemPass::method_step() {
    run_method_step(sys_.run, sys_.comm);
}

}  // namespace quorvel
