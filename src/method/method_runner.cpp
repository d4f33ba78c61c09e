#include "method_runner.h"

#include "comm/comm_state.h"
#include "comm/pump_commands.h"
#include "comm/valve_commands.h"
#include "method/method_run.h"

namespace quorvel {
namespace {

void start_step(CommState& c, const StepParams& p) {
    switch (p.action) {
        case StepAction::Aspirate:
            move_pump_relative(c, p.rate_ul_per_sec, p.volume_ul, MoveKind::Aspirate);
            break;
        case StepAction::Dispense:
            move_pump_relative(c, p.rate_ul_per_sec, p.volume_ul, MoveKind::Dispense);
            break;
        case StepAction::Wash:
            move_pump_relative(c, p.rate_ul_per_sec, p.volume_ul, MoveKind::Wash);
            break;
        case StepAction::MultiValve:
            send_valve_command(c, p.valve_position, p.valve_direction, ValveKind::MultiPosition);
            break;
        case StepAction::TwoPosValve:
            send_valve_command(c, p.valve_position, p.valve_direction, ValveKind::TwoPosition);
            break;
        default:
            break;  // a row without an action sends nothing, but its wait still runs
    }
}

// Starts the row after the current one when everything the runner waits for has happened.
// With run.mutex held.
void start_next_step(MethodRun& r, CommState& c) {
    const int count = r.step_count.load();
    const int current = r.current_step.load();
    if (r.mode.load() != MethodRunMode::Active || c.pump_moving.load() || c.valve_busy.load() ||
        current >= count || r.wait_remaining_ms.load() != 0)
        return;
    const bool at_last = current == count - 1;
    const int next = at_last ? 0 : current + 1;
    if (next < 0 || next >= kMethodRows) return;
    const StepParams& p = r.steps[static_cast<std::size_t>(next)];
    c.current_flow_ul_per_sec.store(p.rate_ul_per_sec);
    // Repeat is read only when the last row has been started.
    if ((p.event && !r.event_flag.load()) || (at_last && !r.repeat.load())) return;
    r.event_flag.store(false);
    r.current_step.store(next);
    start_step(c, p);
    r.wait_remaining_ms.store(p.wait_ms);
    r.steps_started.fetch_add(1);
}

}  // namespace

void set_run_mode(MethodRun& r, const MethodTable& table, CommState& c, MethodRunMode mode) {
    {
        std::lock_guard lock(r.mutex);
        r.mode.store(mode);
        if (mode == MethodRunMode::Active) {
            for (std::size_t i = 0; i < r.steps.size(); ++i) r.steps[i] = decode_row(table[i]);
        } else if (mode == MethodRunMode::Idle) {
            r.current_step.store(-1);
            r.event_flag.store(false);
            c.pump_moving.store(false);
            c.valve_busy.store(false);
            r.wait_remaining_ms.store(0);
            send_pump_command(c, PumpCommand::SSTP);
        }
    }
    r.events().run_mode_changed(mode);
}

void run_method_step(MethodRun& r, CommState& c) {
    MethodRunMode mode_now;
    int step_now;
    {
        std::lock_guard lock(r.mutex);
        start_next_step(r, c);
        mode_now = r.mode.load();
        step_now = r.current_step.load();
    }
    // Once per change of row, and only when the front end does not show it already. In Edit
    // mode the list is the operator's (the window ignores a selection that comes late), so
    // what was told before says nothing about the list afterwards.
    if (mode_now == MethodRunMode::Editing) {
        r.posted_step.store(MethodRun::kNothingPosted);
    } else if (step_now != r.posted_step.load()) {
        r.posted_step.store(step_now);
        if (r.selected_line.load() != step_now) r.events().running_row_changed(step_now);
    }
    r.event_flag.store(false);
}

void method_wait_countdown(MethodRun& r, const CommState& c, int elapsed_ms) {
    std::lock_guard lock(r.mutex);
    const int w = r.wait_remaining_ms.load();
    if (w == 0 || c.pump_moving.load() || c.valve_busy.load()) return;
    const long long left = static_cast<long long>(w) - elapsed_ms;
    r.wait_remaining_ms.store(left < 0 ? 0 : static_cast<int>(left));
}

}  // namespace quorvel
