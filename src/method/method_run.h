#pragma once
// The run state of the method in memory, shared by the Method window and the runner in
// the communication thread. Fields are atomics for free reading; set_run_mode,
// run_method_step and the wait countdown each hold `mutex` for their whole step, so a
// reset can never be overtaken by a step that was about to start.

#include <array>
#include <atomic>
#include <climits>
#include <mutex>

#include "method/method_events.h"
#include "method/method_table.h"

namespace quorvel {

enum class MethodRunMode : int { None = 0, Idle = 1, Active = 2, Editing = 3 };

struct MethodRun {
    MethodRun() = default;
    MethodRun(const MethodRun&) = delete;
    MethodRun& operator=(const MethodRun&) = delete;

    std::mutex mutex;
    std::atomic<MethodRunMode> mode{MethodRunMode::None};
    std::atomic<int> current_step{0};  // -1: none started since the last reset
    std::atomic<int> step_count{0};
    std::atomic<int> wait_remaining_ms{0};
    std::atomic<bool> event_flag{false};  // the operator's Event, alive for one pass
    // Goes up by one whenever the runner starts a step: a row that starts again (a
    // one-row method that repeats) leaves current_step as it was.
    std::atomic<unsigned> steps_started{0};
    // While set, the runner lets the step under way finish and starts no other. Written
    // under `mutex` (set_run_paused), so no step starts once the pause is taken.
    std::atomic<bool> paused{false};

    // The method's rows as the runner works on them, decoded once when the run becomes
    // Active. Under `mutex`: written only by set_run_mode, read by the runner.
    std::array<StepParams, kMethodRows> steps{};

    // The device the step last started is busy with, and the time it has left once the
    // step's lines are out; past it the run ends. Under `mutex`.
    bool watching = false;
    DeviceRole watched_device = DeviceRole::Pump;
    long long watch_limit_ms = 0;
    long long watch_left_ms = 0;

    // Goes up by one whenever a Run makes the mode Active, and whenever the runner ends a
    // run itself, with the reason in last_failure (under `mutex`): a record of runs tells
    // one run from the next, and a failure from a reset, even between two of its looks.
    std::atomic<unsigned> runs_begun{0};
    std::atomic<unsigned> runs_failed{0};
    RunFailure last_failure;

    // Whether a front end follows the method (the GUI: while the Method window is open):
    // only then does the runner run, and do its waits and valve moves light their lamps.
    std::atomic<bool> followed{false};

    // Mirrors of the Method window's Repeat box and step-list selection, kept current by
    // the window, so the runner never has to wait for the window thread.
    std::atomic<bool> repeat{false};
    std::atomic<int> selected_line{-1};

    // The row the runner last told the front end of; it tells again only on a change,
    // not on every pass. Communication thread only.
    static constexpr int kNothingPosted = INT_MIN;
    std::atomic<int> posted_step{kNothingPosted};

    // Who hears of mode and row changes. Set before the communication thread starts.
    MethodEvents& events() const { return *events_; }
    void set_events(MethodEvents& e) { events_ = &e; }

  private:
    MethodEvents ignored_events_;
    MethodEvents* events_ = &ignored_events_;
};

}  // namespace quorvel
