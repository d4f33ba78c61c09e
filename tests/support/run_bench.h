#pragma once
// A system whose Method window is open, driven pass by pass, with the controller's answers
// at hand.

#include <initializer_list>
#include <string>
#include <vector>

#include "core_fixture.h"
#include "method/method_runner.h"

namespace quorvel::testing {

struct RunBench : testing::CoreFixture {
    RunBench() {
        attach_both();
        sys.run.followed = true;
    }
    void load(std::initializer_list<MethodStep> rows) {
        int r = 0;
        for (const MethodStep& s : rows) sys.method_table[r++] = s;
        sys.run.step_count = r;
    }
    // As the Method window does: Idle when it opens, then Run.
    void run() {
        set_run_mode(sys, MethodRunMode::Idle);
        set_run_mode(sys, MethodRunMode::Active);
    }
    // Lines written to the pump since the last call.
    std::vector<std::string> pump_lines() {
        auto lines = pump_port->written_lines();
        pump_port->clear_written();
        return lines;
    }
    // The controller answers whatever is outstanding and reports the end of motion.
    void motion_ends() {
        pump_port->feed(">");
        pass();
        pump_port->feed(">|\r\n");
        pass();
    }
    MethodRun& r = sys.run;
};

}  // namespace quorvel::testing
