#include "method_runner.h"

#include <algorithm>
#include <optional>

#include "comm/comm_state.h"
#include "comm/pump_commands.h"
#include "comm/valve_commands.h"
#include "method/method_run.h"

namespace quorvel {
namespace {

// A move may take its length (volume / rate) and a quarter more, for the ramps and the
// backlash, plus a reply time-out; a valve, its position query's time-out and a second.
constexpr double kMotionAllowance = 1.25;
constexpr long long kMotionGraceMs = CommState::kPumpReplyTimeoutMs;
constexpr long long kValveLimitMs = CommState::kValveReplyTimeoutMs + 1000;
constexpr double kLongestLimitMs = 1e15;  // beyond any run, short of overflow

long long motion_limit_ms(double volume_ul, double rate_ul_per_sec) {
    const double ms = volume_ul / rate_ul_per_sec * 1000.0 * kMotionAllowance;
    if (!(ms >= 0)) return kMotionGraceMs;
    return static_cast<long long>(std::min(ms, kLongestLimitMs)) + kMotionGraceMs;
}

void watch(MethodRun& r, DeviceRole device, long long limit_ms) {
    r.watching = true;
    r.watched_device = device;
    r.watch_limit_ms = r.watch_left_ms = limit_ms;
}

// Queues the step's lines and watches the device they make busy.
void start_step(MethodRun& r, CommState& c, const StepParams& p) {
    r.watching = false;
    MoveKind kind = MoveKind::Aspirate;
    switch (p.action) {
        case StepAction::Aspirate:
            break;
        case StepAction::Dispense:
            kind = MoveKind::Dispense;
            break;
        case StepAction::Wash:
            kind = MoveKind::Wash;
            break;
        case StepAction::MultiValve:
        case StepAction::TwoPosValve:
            send_valve_command(c, p.valve_position, p.valve_direction,
                               p.action == StepAction::MultiValve ? ValveKind::MultiPosition
                                                                  : ValveKind::TwoPosition);
            watch(r, DeviceRole::Valve, kValveLimitMs);
            return;
        default:
            return;  // a row without an action sends nothing, but its wait still runs
    }
    c.pump.motion_refused.store(false);
    if (move_pump_relative(c, p.rate_ul_per_sec, p.volume_ul, kind))
        watch(r, DeviceRole::Pump, motion_limit_ms(p.volume_ul, p.rate_ul_per_sec));
}

// Whether the step being watched has failed; a step whose device is no longer busy is done.
// With run.mutex held.
std::optional<RunFailure> check_watched_step(MethodRun& r, CommState& c) {
    if (!r.watching) return std::nullopt;
    const bool pump = r.watched_device == DeviceRole::Pump;
    DeviceLink& link = pump ? c.pump : c.valve;
    if (!(pump ? c.pump_moving.load() : c.valve_busy.load())) {
        r.watching = false;
        return std::nullopt;
    }
    RunFailure f{RunFailureKind::NoEnd, r.watched_device, r.current_step.load(), r.watch_limit_ms};
    if (!link.has_port.load() || port_lost(link))
        f.kind = RunFailureKind::NoPort;
    else if (pump && link.motion_refused.load())
        f.kind = RunFailureKind::Refused;
    else if (r.watch_left_ms > 0)
        return std::nullopt;
    return f;
}

// As a reset: the run rewound, the flags cleared and the pump stopped. With run.mutex held.
void rewind(MethodRun& r, CommState& c) {
    r.current_step.store(-1);
    r.event_flag.store(false);
    r.watching = false;
    c.pump_moving.store(false);
    c.valve_busy.store(false);
    r.wait_remaining_ms.store(0);
    stop_pump_motion(c);
}

// Starts the row after the current one when everything the runner waits for has happened.
// With run.mutex held.
void start_next_step(MethodRun& r, CommState& c) {
    const int count = r.step_count.load();
    const int current = r.current_step.load();
    // Nothing goes to a pump that is being sent its monitor program: it would be stored in
    // the program instead of done.
    if (r.mode.load() != MethodRunMode::Active || r.paused.load() || c.pump_moving.load() ||
        c.valve_busy.load() || current >= count || r.wait_remaining_ms.load() != 0 ||
        c.init_stage.load() != InitStage::None)
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
    start_step(r, c, p);
    r.wait_remaining_ms.store(p.wait_ms);
    r.steps_started.fetch_add(1);
}

}  // namespace

void set_run_mode(MethodRun& r, const MethodTable& table, CommState& c, MethodRunMode mode) {
    {
        std::lock_guard lock(r.mutex);
        if (mode == MethodRunMode::Active && r.mode.load() != MethodRunMode::Active)
            r.runs_begun.fetch_add(1);
        r.mode.store(mode);
        if (mode == MethodRunMode::Active) {
            for (std::size_t i = 0; i < r.steps.size(); ++i) r.steps[i] = decode_row(table[i]);
        } else if (mode == MethodRunMode::Idle) {
            rewind(r, c);
        }
    }
    r.events().run_mode_changed(mode);
}

RunOutlook run_outlook(MethodRun& r, const CommState& c) {
    RunOutlook out;
    const int count = r.step_count.load();
    const int current = r.current_step.load();
    if (r.mode.load() != MethodRunMode::Active || c.pump_moving.load() || c.valve_busy.load() ||
        r.wait_remaining_ms.load() != 0 || current >= count)
        return out;
    const bool at_last = current == count - 1;
    const int next = at_last ? 0 : current + 1;
    if (at_last && !r.repeat.load()) {
        out.done = true;
    } else if (next >= 0 && next < kMethodRows) {
        std::lock_guard lock(r.mutex);
        if (r.steps[static_cast<std::size_t>(next)].event) out.event_row = next;
    }
    return out;
}

unsigned set_run_paused(MethodRun& r, bool paused) {
    std::lock_guard lock(r.mutex);
    r.paused.store(paused);
    return r.steps_started.load();
}

void run_method_step(MethodRun& r, CommState& c) {
    MethodRunMode mode_now;
    int step_now;
    std::optional<RunFailure> failure;
    {
        std::lock_guard lock(r.mutex);
        failure = check_watched_step(r, c);
        if (failure) {
            r.mode.store(MethodRunMode::Idle);
            r.last_failure = *failure;
            r.runs_failed.fetch_add(1);
            rewind(r, c);
        } else {
            start_next_step(r, c);
        }
        mode_now = r.mode.load();
        step_now = r.current_step.load();
    }
    if (failure) {
        r.events().run_mode_changed(MethodRunMode::Idle);
        r.events().run_failed(*failure);
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
    // A step's bound runs once its lines have gone out: lines ahead of them in the queue
    // have bounds of their own.
    if (r.watching && (r.watched_device == DeviceRole::Pump ? c.pump : c.valve).queue.empty())
        r.watch_left_ms -= elapsed_ms;
    const int w = r.wait_remaining_ms.load();
    if (w == 0 || c.pump_moving.load() || c.valve_busy.load()) return;
    const long long left = static_cast<long long>(w) - elapsed_ms;
    r.wait_remaining_ms.store(left < 0 ? 0 : static_cast<int>(left));
}

}  // namespace quorvel

namespace quorvel {

std::string run_failure_reason(const RunFailure& f) {
    const bool pump = f.device == DeviceRole::Pump;
    switch (f.kind) {
        case RunFailureKind::NoEnd:
            return (pump ? "the pump did not finish its move within "
                         : "the valve did not report its position within ") +
                   std::to_string((f.limit_ms + 999) / 1000) + " s";
        case RunFailureKind::Refused:
            return "the pump refused the move";
        case RunFailureKind::NoPort:
            break;
    }
    return pump ? "the pump's port is gone" : "the valve's port is gone";
}

std::string run_failure_text(const RunFailure& f) {
    return "Step " + std::to_string(f.row + 1) + ": " + run_failure_reason(f) +
           ". The method was reset.";
}

}  // namespace quorvel
