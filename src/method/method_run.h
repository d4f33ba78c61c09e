#pragma once
// The run state of the method in memory, shared by the Method window and the runner in
// the communication thread. Fields are atomics for free reading; set_run_mode,
// run_method_step and the wait countdown each hold `mutex` for their whole step, so a
// reset can never be overtaken by a step that was about to start.

#include <atomic>
#include <climits>
#include <mutex>

namespace quorvel {

enum class MethodRunMode : int { None = 0, Idle = 1, Active = 2, Editing = 3 };

struct MethodRun {
    std::mutex mutex;
    std::atomic<MethodRunMode> mode{MethodRunMode::None};
    std::atomic<int> current_step{0};  // -1: none started since the last reset
    std::atomic<int> step_count{0};
    std::atomic<int> wait_remaining_ms{0};
    std::atomic<bool> event_flag{false};  // the operator's Event, alive for one pass
    // Goes up by one whenever the runner starts a step: a row that starts again (a
    // one-row method that repeats) leaves current_step as it was.
    std::atomic<unsigned> steps_started{0};

    // Mirrors of the Method window's Repeat box and step-list selection, kept current by
    // the window, so the runner never has to wait for the window thread.
    std::atomic<bool> repeat{false};
    std::atomic<int> selected_line{-1};

    // The row the runner last told the window to select; it tells again only on a change,
    // not on every pass. Communication thread only.
    static constexpr int kNothingPosted = INT_MIN;
    std::atomic<int> posted_step{kNothingPosted};
};

}  // namespace quorvel
