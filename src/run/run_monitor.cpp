#include "run_monitor.h"

#include <fcntl.h>
#include <unistd.h>

#include "session/system.h"
#include "method/method_table.h"

namespace quorvel::run {

RunMonitor::RunMonitor() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
        wake_read_ = fds[0];
        wake_write_ = fds[1];
    }
}

RunMonitor::~RunMonitor() {
    if (wake_read_ >= 0) ::close(wake_read_);
    if (wake_write_ >= 0) ::close(wake_write_);
}

void RunMonitor::push(RunEvent::Kind kind, int value, double time_s, std::string text) {
    {
        std::lock_guard lock(mutex_);
        events_.push_back({kind, value, time_s, std::move(text)});
    }
    // A full pipe is already readable; the byte only has to be there, not counted.
    const char b = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake_write_, &b, 1);
}

std::vector<RunEvent> RunMonitor::take_events() {
    char buf[64];
    while (::read(wake_read_, buf, sizeof buf) > 0) {
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
    method_open_.store(true);
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

bool RunMonitor::is_open(WindowId w) const {
    switch (w) {
        case WindowId::Main:
            return true;
        case WindowId::Init:
            return init_open_.load();
        case WindowId::Method:
            return method_open_.load();
        default:
            return false;
    }
}

void RunMonitor::post(WindowId w, Note note, int param) {
    if (w == WindowId::Main && note == Note::StartInit) {
        push(RunEvent::Kind::StartInit);
    } else if (w == WindowId::Main && note == Note::CommTimeout) {
        push(RunEvent::Kind::Timeout, param);
    } else if (w == WindowId::Method && note == Note::PassDone && method_open_.load()) {
        on_pass();
    }
}

void RunMonitor::post_command(WindowId w, int command) {
    if (w == WindowId::Init && command == cmd::Close && init_open_.exchange(false)) {
        push(RunEvent::Kind::InitDone);
    }
}

void RunMonitor::post_message(WindowId, const std::string& text, const std::string&) {
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
             std::chrono::duration<double>(now - run_start_).count());
    }

    if (finishing_.load()) {
        waiting_token_.store(-1);
        if (!stop_reported_ && c.pump.queue.empty() && c.pump.ready) {
            stop_reported_ = true;
            push(RunEvent::Kind::StopAnswered);
        }
        return;
    }

    // The runner's own test of whether a step may start, short of the Event.
    int waiting = -1;
    const int count = r.step_count.load();
    const int current = r.current_step.load();
    if (r.mode.load() == MethodRunMode::Active && !c.pump_moving.load() && !c.valve_busy.load() &&
        r.wait_remaining_ms.load() == 0 && current < count) {
        const bool at_last = current == count - 1;
        const int next = at_last ? 0 : current + 1;
        if (at_last && !r.repeat.load()) {
            if (!done_reported_) {
                done_reported_ = true;
                push(RunEvent::Kind::MethodDone);
            }
        } else if (next >= 0 && next < kMethodRows && decode_row(sys->method_table[next]).event) {
            waiting = next;
        }
    }
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
