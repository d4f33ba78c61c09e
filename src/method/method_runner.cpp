#include "method_runner.h"

#include "comm/pump_commands.h"
#include "comm/valve_commands.h"
#include "session/system.h"

namespace quorvel {
namespace {

void start_step(System& sys, const StepParams& p) {
    switch (p.action) {
        case StepAction::Aspirate:
            move_pump_relative(sys, p.rate_ul_per_sec, p.volume_ul, MoveKind::Aspirate);
            break;
        case StepAction::Dispense:
            move_pump_relative(sys, p.rate_ul_per_sec, p.volume_ul, MoveKind::Dispense);
            break;
        case StepAction::Wash:
            move_pump_relative(sys, p.rate_ul_per_sec, p.volume_ul, MoveKind::Wash);
            break;
        case StepAction::MultiValve:
            send_valve_command(sys, p.valve_position, p.valve_direction, ValveKind::MultiPosition);
            break;
        case StepAction::TwoPosValve:
            send_valve_command(sys, p.valve_position, p.valve_direction, ValveKind::TwoPosition);
            break;
        default:
            break;  // a row without an action sends nothing, but its wait still runs
    }
}

}  // namespace

void set_run_mode(System& sys, MethodRunMode mode) {
    MethodRun& r = sys.run;
    {
        std::lock_guard lock(r.mutex);
        r.mode.store(mode);
        if (mode == MethodRunMode::Idle) {
            r.current_step.store(-1);
            r.event_flag.store(false);
            sys.comm.pump_moving.store(false);
            sys.comm.valve_busy.store(false);
            r.wait_remaining_ms.store(0);
            send_pump_command(sys, PumpCommand::SSTP);
        }
    }
    if (sys.notifier().is_open(WindowId::Method)) {
        sys.notifier().post(WindowId::Method, Note::MethodMode);
    }
}

void run_method_step(System& sys) {
    MethodRun& r = sys.run;
    CommState& c = sys.comm;
    MethodRunMode mode_now;
    int step_now;
    {
        std::lock_guard lock(r.mutex);
        const int count = r.step_count.load();
        const int current = r.current_step.load();
        if (r.mode.load() == MethodRunMode::Active && !c.pump_moving.load() &&
            !c.valve_busy.load() && current < count && r.wait_remaining_ms.load() == 0) {
            const bool at_last = current == count - 1;
            const int next = at_last ? 0 : current + 1;
            if (next >= 0 && next < kMethodRows) {
                decode_step(sys, next);
                const StepParams p = sys.step;
                // Repeat is read only when the last row has been started.
                if ((!p.event || r.event_flag.load()) && (!at_last || r.repeat.load())) {
                    r.event_flag.store(false);
                    r.current_step.store(next);
                    start_step(sys, p);
                    r.wait_remaining_ms.store(p.wait_ms);
                    r.steps_started.fetch_add(1);
                }
            }
        }
        mode_now = r.mode.load();
        step_now = r.current_step.load();
    }
    // Once per change of row, and only when the window does not show it already. In Edit
    // mode the list is the operator's (the window ignores a selection that comes late), so
    // what was posted before says nothing about the list afterwards.
    if (mode_now == MethodRunMode::Editing) {
        r.posted_step.store(MethodRun::kNothingPosted);
    } else if (step_now != r.posted_step.load()) {
        r.posted_step.store(step_now);
        if (r.selected_line.load() != step_now)
            sys.notifier().post(WindowId::Method, Note::MethodSelect, step_now);
    }
    r.event_flag.store(false);
}

void method_wait_countdown(System& sys, int elapsed_ms) {
    MethodRun& r = sys.run;
    std::lock_guard lock(r.mutex);
    const int w = r.wait_remaining_ms.load();
    if (w == 0 || sys.comm.pump_moving.load() || sys.comm.valve_busy.load()) return;
    const long long left = static_cast<long long>(w) - elapsed_ms;
    r.wait_remaining_ms.store(left < 0 ? 0 : static_cast<int>(left));
}

}  // namespace quorvel
