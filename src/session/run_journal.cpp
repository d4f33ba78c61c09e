#include "run_journal.h"

#include <algorithm>

#include "comm/serial_port.h"
#include "common/state_folder.h"
#include "method/method_runner.h"
#include "session/system.h"

namespace quorvel {
namespace {

std::vector<StepParams> decoded_rows(const MethodTable& t, int rows) {
    std::vector<StepParams> out;
    for (int r = 0; r < rows && r < kMethodRows; ++r) out.push_back(decode_row(t[r]));
    return out;
}

}  // namespace

RunJournal::RunJournal(System& sys, const PortProvider& ports, std::filesystem::path file,
                       std::string version, Tell tell)
    : sys_(sys),
      ports_(ports),
      file_(std::move(file)),
      version_(std::move(version)),
      tell_(std::move(tell)),
      seen_begun_(sys.run.runs_begun.load()),
      seen_failed_(sys.run.runs_failed.load()),
      seen_started_(sys.run.steps_started.load()) {}

void RunJournal::set_method_file(std::optional<std::string> path,
                                 std::optional<std::string> sha256) {
    std::vector<StepParams> steps = decoded_rows(sys_.method_table, sys_.run.step_count.load());
    std::lock_guard lock(method_mutex_);
    method_path_ = std::move(path);
    method_sha256_ = std::move(sha256);
    method_steps_ = std::move(steps);
}

void RunJournal::write(const std::string& line) {
    if (log_broken_) return;
    std::string why;
    if (!log_.is_open()) {
        if (!make_state_folder(file_.parent_path(), &why) || !log_.open(file_.string(), &why)) {
            log_broken_ = true;
        }
    }
    if (!log_broken_ && !log_.append(line, &why)) log_broken_ = true;
    if (log_broken_) told_broken(why);
}

void RunJournal::told_broken(const std::string& why) {
    log_broken_ = true;
    tell_("The run record " + file_.string() + " cannot be written: " + why +
          ". Methods still run, without their record.");
}

double RunJournal::elapsed() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - run_start_).count();
}

std::optional<PortRecord> RunJournal::port_of(DeviceRole role) const {
    const PumpSettings s = sys_.settings();
    const int com = role == DeviceRole::Pump ? s.com_pump : s.com_valve;
    if (com < 1 || com > 4) return std::nullopt;
    return PortRecord{com, ports_.device_name(com)};
}

void RunJournal::begin(bool step_started_now) {
    MethodRun& r = sys_.run;
    active_ = true;
    last_row_ = -1;
    told_wait_ = -1;
    run_start_ = std::chrono::steady_clock::now();
    const int count = r.step_count.load();
    const int current = r.current_step.load();

    RunStartRecord s;
    s.steps = count;
    s.start_row = step_started_now ? current : current + 1 < count ? current + 1 : 0;
    s.repeat = r.repeat.load();
    s.pump_port = port_of(DeviceRole::Pump);
    s.valve_port = port_of(DeviceRole::Valve);
    s.settings = sys_.settings();
    s.version = version_;
    s.program = "quorvel";
    s.time = std::chrono::system_clock::now();
    std::vector<StepParams> running;
    {
        std::lock_guard lock(r.mutex);
        running.assign(r.steps.begin(), r.steps.begin() + std::clamp(count, 0, kMethodRows));
    }
    {
        std::lock_guard lock(method_mutex_);
        s.method = method_path_;
        // The file's digest only for the method the file holds.
        if (running == method_steps_) s.sha256 = method_sha256_;
    }
    write(start_record(s));
}

void RunJournal::end(RunEnd status, const std::string& message) {
    active_ = false;
    write(end_record(status, std::nullopt, last_row_, message, std::chrono::system_clock::now()));
}

void RunJournal::on_pass() {
    MethodRun& r = sys_.run;
    CommState& c = sys_.comm;
    const unsigned begun = r.runs_begun.load();
    const unsigned failed = r.runs_failed.load();
    const unsigned started = r.steps_started.load();
    const bool step_started = started != seen_started_;
    seen_started_ = started;

    if (begun != seen_begun_) {
        seen_begun_ = begun;
        if (active_) end(RunEnd::Stopped, "the method was reset");
        begin(step_started);
    } else if (!active_ && step_started && r.mode.load() == MethodRunMode::Active) {
        // A run that had ended goes on (Repeat ticked after its last step): a run of its own.
        begin(true);
    }
    if (!active_) {
        seen_failed_ = failed;
        for (const DeviceLink* link : {&c.pump, &c.valve})
            seen_timeouts_[link == &c.valve] = link->reply_timeouts.load();
        return;
    }
    if (step_started) {
        const int row = r.current_step.load();
        if (row == told_wait_) write(row_record("event", row, elapsed()));
        told_wait_ = -1;
        last_row_ = row;
        if (row >= 0 && row < kMethodRows) {
            StepParams p;
            {
                std::lock_guard lock(r.mutex);
                p = r.steps[static_cast<std::size_t>(row)];
            }
            write(step_record(p, row, elapsed()));
        }
    }
    for (const DeviceRole role : {DeviceRole::Pump, DeviceRole::Valve}) {
        const bool pump = role == DeviceRole::Pump;
        const unsigned n = (pump ? c.pump : c.valve).reply_timeouts.load();
        if (n == seen_timeouts_[!pump]) continue;
        seen_timeouts_[!pump] = n;
        const int limit_s =
            (pump ? CommState::kPumpReplyTimeoutMs : CommState::kValveReplyTimeoutMs) / 1000;
        write(error_record(std::string("no reply from the ") + (pump ? "pump" : "valve") +
                               " within " + std::to_string(limit_s) + " s",
                           role, port_of(role), elapsed()));
    }
    if (failed != seen_failed_) {
        seen_failed_ = failed;
        RunFailure f;
        {
            std::lock_guard lock(r.mutex);
            f = r.last_failure;
        }
        const std::string text = run_failure_text(f);
        write(error_record(text, f.device, port_of(f.device), elapsed()));
        end(RunEnd::Failed, text);
        return;
    }
    if (r.mode.load() != MethodRunMode::Active) {
        end(RunEnd::Stopped, "the method was reset");
        return;
    }
    const RunOutlook outlook = run_outlook(r, c);
    if (outlook.done) {
        end(RunEnd::Finished, "the method ran to its end");
    } else if (outlook.event_row >= 0 && outlook.event_row != told_wait_) {
        told_wait_ = outlook.event_row;
        write(row_record("wait", told_wait_, elapsed()));
    }
}

// The sync waits for the disk, so it is done here, with the thread stopped, and never in a
// pass: every line is already written, and only a power cut could lose it meanwhile.
void RunJournal::finish() {
    if (active_) end(RunEnd::Stopped, "the program was closed");
    std::string why;
    if (!log_broken_ && log_.is_open() && !log_.sync(&why)) told_broken(why);
}

}  // namespace quorvel
