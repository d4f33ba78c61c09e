#pragma once
// quorvel-run's listener of the session: what the session tells it while the initialisation
// and then the method run is turned into RunEvents for the main thread, which a byte on
// wake_fd() announces. The listener's members: any thread (the end of a pass is followed on
// the communication thread). The rest: main thread.

#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "common/unique_fd.h"
#include "session/session_listener.h"

namespace quorvel {
struct System;
}

namespace quorvel::run {

struct RunEvent {
    enum class Kind {
        StartInit,     // the session asks for the pump initialisation
        InitDone,      // the initialisation has ended
        Timeout,       // value: the DeviceRole that did not answer
        StepStarted,   // value: row index; time_s: seconds since the run began; count
        EventWaiting,  // value: row index of the Event step that waits
        MethodDone,    // the last step has finished: motion, valve move and wait
        StopAnswered,  // the closing SSTP has been answered
        Message,       // text for the operator
        RunFailed,     // value: the DeviceRole; step: the row; text: the reason
    };
    Kind kind;
    int value = 0;
    int step = 0;
    double time_s = 0.0;
    std::string text;
    unsigned count = 0;  // StepStarted: the run's steps_started with this step
};

class RunMonitor final : public SessionListener {
  public:
    RunMonitor();
    ~RunMonitor() override;
    RunMonitor(const RunMonitor&) = delete;
    RunMonitor& operator=(const RunMonitor&) = delete;

    // False when the wake pipe could not be made.
    bool ok() const { return wake_.read.valid(); }
    // Readable while events are waiting.
    int wake_fd() const { return wake_.read.get(); }
    std::vector<RunEvent> take_events();

    // Called back when the session has started the initialisation.
    void initialisation_started() { initialising_.store(true); }
    // The runner runs from the next pass on (the monitor follows the method); step times
    // count from now.
    void begin_run(System& sys);
    // After the closing SSTP has been queued: StopAnswered follows once the pump has
    // taken and answered every queued line.
    void finish() { finishing_.store(true); }

    // The operator's Event (a line on standard input). Taken only while an Event step
    // waits; otherwise false and the press is lost, as with the window's Event. A press
    // taken is held until the step starts, so a pass that clears the runner's one-pass
    // flag cannot lose it.
    bool press_event();
    // The row of the Event step that waits and has no press yet, or -1.
    int unanswered_event_row() const;

    void initialisation_requested() override;
    void reply_timed_out(DeviceRole role) override;
    void initialisation_finished() override;
    void pass_done() override;
    void message(const std::string& text, const std::string& caption) override;
    void run_failed(const RunFailure& f) override;

  private:
    void on_pass();  // communication thread, at the end of every pass while the run is on
    void push(RunEvent::Kind kind, int value = 0, double time_s = 0.0, std::string text = {},
              unsigned count = 0);
    void wake();

    FdPair wake_;
    std::mutex mutex_;
    std::deque<RunEvent> events_;

    std::atomic<bool> initialising_{false};
    std::atomic<bool> following_{false};
    std::atomic<bool> finishing_{false};
    std::atomic<System*> sys_{nullptr};
    std::chrono::steady_clock::time_point run_start_;

    // While an Event step waits: the runner's step count at that time, which a press
    // names, so a press that comes as a step starts can never release a later step.
    std::atomic<long long> waiting_token_{-1};
    std::atomic<int> waiting_row_{-1};
    std::atomic<long long> pressed_token_{-1};

    // Communication thread only (begin_run sets them before the run is open).
    unsigned seen_started_ = 0;
    bool done_reported_ = false;
    bool stop_reported_ = false;
};

}  // namespace quorvel::run
