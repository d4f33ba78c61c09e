#include "pump_init.h"

#include "comm/comm_state.h"
#include "comm/pass_hooks.h"

namespace quorvel {

InitStart start_pump_initialisation(CommState& c, const std::function<void()>& on_start) {
    if (c.init_stage.load() != InitStage::None) return InitStart::AlreadyRunning;
    if (!c.pump.has_port.load()) {
        c.events().message("Please select a serial port first", "fyi");
        return InitStart::NoPort;
    }
    if (on_start) on_start();
    std::lock_guard lock(c.init_mutex);
    c.init_line.store(0);
    c.init_stage.store(InitStage::BacklashQuery);
    return InitStart::Started;
}

void cancel_pump_initialisation(CommState& c) {
    std::lock_guard lock(c.init_mutex);
    c.init_stage.store(InitStage::None);
    c.init_line.store(0);
    c.pump.queue.reset();
}

void initialisation_step(CommState& c, PassHooks& hooks) {
    const InitStage stage = c.init_stage.load();
    if ((stage != InitStage::BacklashQuery && stage != InitStage::ControllerSetup) || !c.pump.ready)
        return;

    // Told with no lock held: the window thread may be cancelling at this very moment.
    c.events().initialisation_advanced();

    bool finished = false;
    {
        std::lock_guard lock(c.init_mutex);
        if (c.init_stage.load() != stage) return;  // cancelled while the progress was shown
        const InitScript script = stage == InitStage::BacklashQuery
                                      ? InitScript(backlash_query_script)
                                      : InitScript(controller_setup_script);
        const int line = c.init_line.load();
        if (line >= 0 && static_cast<std::size_t>(line) < script.size() && script[line] != "stop") {
            enqueue_command(c, script[line], c.pump);
            c.init_line.store(line + 1);
        } else if (stage == InitStage::BacklashQuery) {
            c.init_line.store(0);
            c.init_stage.store(InitStage::ControllerSetup);
        } else {
            finished = true;
        }
    }
    if (!finished) return;

    // Queued before the stage drops to 0, so that nothing a window sends once it sees the
    // initialisation over can come before the calibration.
    hooks.initialisation_scripts_sent();
    {
        std::lock_guard lock(c.init_mutex);
        if (c.init_stage.load() == InitStage::ControllerSetup) {
            c.init_stage.store(InitStage::None);
            c.init_line.store(0);
        }
    }
    c.events().initialisation_finished();
}

}  // namespace quorvel
