#include "run_monitor.h"

#include <fcntl.h>
#include <unistd.h>

#include "method/method_runner.h"
#include "session/system.h"

namespace quorvel::run {
RunMonitor::RunMonitor() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
        wake_.read.reset(fds[0]);
        wake_.write.reset(fds[1]);
    }
}

RunMonitor::~RunMonitor() = default;

void RunMonitor::push(RunEvent::Kind kind, int value, double time_s, std::string text,
                      unsigned count) {
    {
        std::lock_guard lock(mutex_);
        events_.push_back({kind, value, 0, time_s, std::move(text), count});
    }
    wake();
}

void RunMonitor::wake() {
    // A full pipe is already readable; the byte only has to be there, not counted.
    const char b = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake_.write.get(), &b, 1);
}

std::vector<RunEvent> RunMonitor::take_events() {
    char buf[64];
    while (::read(wake_.read.get(), buf, sizeof buf) > 0) {
    }
    std::lock_guard lock(mutex_);
    std::vector<RunEvent> out(std::make_move_iterator(events_.begin()),
                              std::make_move_iterator(events_.end()));
    events_.clear();
    return out;
}

void RunMonitor::begin_run(System& sys) {
    seen_started_ = sys.run.steps_started.load();
    run_start_ = std::chrono::steady_clock::now();
    sys_.store(&sys);
    following_.store(true);
    sys.run.followed.store(true);
}

bool RunMonitor::press_event() {
    const long long token = waiting_token_.load();
    if (token < 0) return false;
    pressed_token_.store(token);
    return true;
}

int RunMonitor::unanswered_event_row() const {
    const long long token = waiting_token_.load();
    if (token < 0 || pressed_token_.load() == token) return -1;
    return waiting_row_.load();
}

void RunMonitor::initialisation_requested() {
    push(RunEvent::Kind::StartInit);
}

void RunMonitor::reply_timed_out(DeviceRole role) {
    push(RunEvent::Kind::Timeout, static_cast<int>(role));
}

void RunMonitor::initialisation_finished() {
    if (initialising_.exchange(false)) push(RunEvent::Kind::InitDone);
}

void RunMonitor::run_failed(const RunFailure& f) {
    {
        std::lock_guard lock(mutex_);
        events_.push_back({RunEvent::Kind::RunFailed, static_cast<int>(f.device), f.row, 0.0,
                           run_failure_reason(f)});
    }
    wake();
}

void RunMonitor::pass_done() {
    if (following_.load()) on_pass();
}

void RunMonitor::message(const std::string& text, const std::string&) {
    push(RunEvent::Kind::Message, 0, 0.0, text);
}

// Runs after the runner in the same pass, so nothing the runner reads can change under it:
// the step it started is current_step, and the conditions it tested are as it left them.
void RunMonitor::on_pass() {
    System* sys = sys_.load();
    if (!sys) return;
    MethodRun& r = sys->run;
    const CommState& c = sys->comm;
    const auto now = std::chrono::steady_clock::now();

    const unsigned started = r.steps_started.load();
    const bool started_now = started != seen_started_;
    if (started_now) {
        seen_started_ = started;
        push(RunEvent::Kind::StepStarted, r.current_step.load(),
             std::chrono::duration<double>(now - run_start_).count(), {}, started);
    }

    if (finishing_.load()) {
        waiting_token_.store(-1);
        if (!stop_reported_ && c.pump.queue.empty() && c.pump.ready) {
            stop_reported_ = true;
            push(RunEvent::Kind::StopAnswered);
        }
        return;
    }

    const RunOutlook outlook = run_outlook(r, c);
    if (outlook.done && !done_reported_) {
        done_reported_ = true;
        push(RunEvent::Kind::MethodDone);
    }
    // A paused run waits for its resume first: the Event's wait is told, or taken, after it.
    // A press taken before the pause is kept for then.
    if (r.paused.load()) return;
    const int waiting = outlook.event_row;
    if (waiting < 0) {
        waiting_token_.store(-1);
        waiting_row_.store(-1);
        return;
    }
    const bool new_wait = started_now || waiting_token_.load() != static_cast<long long>(started);
    waiting_row_.store(waiting);
    waiting_token_.store(started);
    // The runner clears its flag at the end of every pass; set here, between passes, it
    // is read by the next one.
    if (pressed_token_.load() == static_cast<long long>(started)) r.event_flag.store(true);
    if (new_wait) push(RunEvent::Kind::EventWaiting, waiting);
}

}  // namespace quorvel::run
