#include "run_method.h"

#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "comm/pump_init.h"
#include "comm/serial_port.h"
#include "common/json_text.h"
#include "common/signal_pipe.h"
#include "method/method_file.h"
#include "method/method_runner.h"
#include "run/run_monitor.h"
#include "run/run_report.h"
#include "session/method_check.h"
#include "session/process_guard.h"
#include "session/session.h"
#include "simulated_ports.h"

namespace quorvel::run {
namespace {

std::string role_name(DeviceRole role) {
    return role == DeviceRole::Pump ? "pump" : "valve";
}

// How a run ended: its exit status and the end record's status and message.
struct Ending {
    int status = kExitDone;
    RunEnd end = RunEnd::Finished;
    std::string message;
};

Ending failure(int status, std::string message) {
    return {status, RunEnd::Failed, std::move(message)};
}

class StartupHooks final : public SessionHooks {
  public:
    explicit StartupHooks(RunReport& report) : report_(report) {}
    void port_failed(DeviceRole role, const std::string& device,
                     const std::string& reason) override {
        failure = "Cannot open " + role_name(role) + " serial port. " + device + ": " + reason;
        failed_role = role;
    }
    void report(const std::string& text) override { report_.error(text); }
    bool quit_requested() override { return !failure.empty(); }

    std::string failure;
    std::optional<DeviceRole> failed_role;

  private:
    RunReport& report_;
};

struct Needs {
    int pump_row = -1;  // first row that drives the pump, or -1
    int valve_row = -1;
    bool event = false;
};

Needs method_needs(const MethodTable& t, int rows) {
    Needs n;
    for (int r = 0; r < rows; ++r) {
        const StepParams p = decode_row(t[r]);
        if (drives_pump(p.action) && n.pump_row < 0) n.pump_row = r;
        if (drives_valve(p.action) && n.valve_row < 0) n.valve_row = r;
        n.event = n.event || p.event;
    }
    return n;
}

std::string signal_name(int sig) {
    const char* abbrev = sigabbrev_np(sig);
    return abbrev ? std::string("SIG") + abbrev : "signal " + std::to_string(sig);
}

// The port a role has in this run, as records and messages name it.
struct RunPorts {
    std::optional<PortRecord> pump, valve;
    const std::optional<PortRecord>& of(DeviceRole role) const {
        return role == DeviceRole::Pump ? pump : valve;
    }
    std::string text(DeviceRole role) const {
        const auto& p = of(role);
        if (!p) return "no port";
        return p->com ? "COM" + std::to_string(p->com) + ", " + p->device : p->device;
    }
};

// The run of one method through a started session, until it ends one way or another.
class MethodRunner {
  public:
    MethodRunner(const RunOptions& o, Session& session, RunMonitor& monitor, SignalPipe& signals,
                 RunReport& report, const RunPorts& ports, bool read_input)
        : o_(o),
          session_(session),
          sys_(session.sys()),
          monitor_(monitor),
          signals_(signals),
          report_(report),
          ports_(ports),
          stdin_open_(read_input),
          watching_input_(read_input && o.control) {}

    Ending run();
    int last_row() const { return last_row_; }

  private:
    std::optional<Ending> handle(const RunEvent& e);
    std::optional<Ending> read_standard_input();
    std::optional<Ending> take_line(std::string_view line);
    std::optional<Ending> input_ended();
    void press_event(bool asked);
    void pause(bool on);
    void acknowledge(const char* type, int row, unsigned started);
    void flush_acknowledgements();
    void drop_waiting_input();
    void begin();
    std::optional<Ending> device_failed(DeviceRole role, const std::string& message);

    const RunOptions& o_;
    Session& session_;
    System& sys_;
    RunMonitor& monitor_;
    SignalPipe& signals_;
    RunReport& report_;
    const RunPorts& ports_;
    bool stdin_open_;
    // Without --control, standard input is read only while an Event step waits for its
    // line, so input that keeps coming at other times waits in its pipe and costs nothing.
    // With --control it is always read: a command costs its handling.
    bool watching_input_;
    bool initialising_ = false;
    bool running_ = false;
    int last_row_ = -1;
    std::string line_;  // a command line not yet ended
    bool line_too_long_ = false;

    // A pause taken as a step was starting is acknowledged after that step's record: each
    // acknowledgement waits until the steps started before it have been told.
    struct Acknowledgement {
        unsigned after;
        const char* type;
        int row;
    };
    std::deque<Acknowledgement> acknowledgements_;
    unsigned told_started_ = 0;
};

void MethodRunner::begin() {
    running_ = true;
    sys_.run.repeat.store(o_.repeat);
    // As the Method window opens: the pump stopped and the run rewound; then Run.
    set_run_mode(sys_, MethodRunMode::Idle);
    if (o_.start_at > 1) {
        // The runner starts the row after the one last started; while Idle it starts none.
        std::lock_guard lock(sys_.run.mutex);
        sys_.run.current_step.store(o_.start_at - 2);
    }
    told_started_ = sys_.run.steps_started.load();
    monitor_.begin_run(sys_);
    report_.run_begins();
    set_run_mode(sys_, MethodRunMode::Active);
}

std::optional<Ending> MethodRunner::device_failed(DeviceRole role, const std::string& message) {
    report_.error(message, role, ports_.of(role));
    return failure(kExitDevice, message);
}

std::optional<Ending> MethodRunner::handle(const RunEvent& e) {
    using K = RunEvent::Kind;
    switch (e.kind) {
        case K::StartInit:
            if (!o_.no_init && !running_) {
                initialising_ = session_.start_pump_initialisation([this] {
                    monitor_.initialisation_started();
                }) == InitStart::Started;
            }
            break;
        case K::InitDone:
            initialising_ = false;
            if (!running_) begin();
            break;
        case K::Timeout: {
            const auto role = static_cast<DeviceRole>(e.value);
            const int limit_s = (role == DeviceRole::Pump ? CommState::kPumpReplyTimeoutMs
                                                          : CommState::kValveReplyTimeoutMs) /
                                1000;
            cancel_pump_initialisation(sys_.comm);
            return device_failed(role, "no reply from the " + role_name(role) + " (" +
                                           ports_.text(role) + ") within " +
                                           std::to_string(limit_s) + " s" +
                                           (initialising_ ? " while initialising the pump" : "") +
                                           "; stopping the pump");
        }
        case K::StepStarted:
            if (!o_.control) watching_input_ = false;
            told_started_ = e.count;
            if (e.value >= 0 && e.value < kMethodRows) {
                last_row_ = e.value;
                report_.step(sys_.method_table[e.value], e.value, e.time_s);
            }
            flush_acknowledgements();
            break;
        case K::EventWaiting:
            if (!stdin_open_) return input_ended();
            if (!o_.control) {
                drop_waiting_input();
                watching_input_ = true;
            }
            report_.wait(e.value);
            break;
        case K::MethodDone:
            if (!o_.control) watching_input_ = false;
            // As Reset: SSTP queued; the program ends once the pump has answered it.
            set_run_mode(sys_, MethodRunMode::Idle);
            monitor_.finish();
            break;
        case K::StopAnswered:
            return Ending{kExitDone, RunEnd::Finished, "the method ran to its end"};
        case K::Message:
            report_.error(e.text);
            break;
        case K::RunFailed: {
            const auto role = static_cast<DeviceRole>(e.value);
            return device_failed(role, "step " + std::to_string(e.step + 1) + ": " + e.text + " (" +
                                           role_name(role) + " port " + ports_.text(role) +
                                           "); stopping the pump");
        }
    }
    return std::nullopt;
}

void MethodRunner::acknowledge(const char* type, int row, unsigned started) {
    acknowledgements_.push_back({started, type, row});
    flush_acknowledgements();
}

void MethodRunner::flush_acknowledgements() {
    while (!acknowledgements_.empty() && acknowledgements_.front().after <= told_started_) {
        const Acknowledgement a = acknowledgements_.front();
        acknowledgements_.pop_front();
        report_.row_event(a.type, a.row);
    }
}

void MethodRunner::pause(bool on) {
    if (sys_.run.paused.load() == on) {
        report_.error(on ? "the run is already paused" : "the run is not paused");
        return;
    }
    const unsigned started = set_run_paused(sys_.run, on);
    acknowledge(on ? "pause" : "resume", sys_.run.current_step.load(), started);
}

// The operator's Event: taken only while a step waits for it, as the window's button.
// asked: a command, which hears why when nothing waits; a bare line is just lost.
void MethodRunner::press_event(bool asked) {
    const int row = monitor_.unanswered_event_row();
    if (row >= 0 && monitor_.press_event()) {
        if (!o_.control) watching_input_ = false;
        report_.row_event("event", row);
    } else if (asked) {
        report_.error("no step waits for an event");
    }
}

std::optional<Ending> MethodRunner::take_line(std::string_view line) {
    if (!o_.control) {
        press_event(false);
        return std::nullopt;
    }
    const auto first = line.find_first_not_of(" \t\r");
    line = first == std::string_view::npos
               ? std::string_view()
               : line.substr(first, line.find_last_not_of(" \t\r") - first + 1);
    if (line == "event") {
        press_event(true);
    } else if (line == "pause" || line == "resume") {
        pause(line == "pause");
    } else if (line == "stop") {
        return Ending{128 + SIGINT, RunEnd::Stopped, "stopped by the command stop"};
    } else {
        report_.error("unknown command " + std::string(json_string(line)) +
                      " (event, pause, resume or stop)");
    }
    return std::nullopt;
}

// Standard input has ended: whatever waits for it now never comes.
std::optional<Ending> MethodRunner::input_ended() {
    const int row = monitor_.unanswered_event_row();
    const bool paused = sys_.run.paused.load();
    if (!paused && row < 0) return std::nullopt;
    const std::string message =
        "standard input has ended while " +
        (paused ? std::string("the run is paused")
                : "step " + std::to_string(row + 1) + " waits for an event") +
        "; stopping the pump";
    report_.error(message);
    return failure(kExitInputEnded, message);
}

std::optional<Ending> MethodRunner::read_standard_input() {
    char buf[512];
    const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return std::nullopt;
    if (n <= 0) {
        stdin_open_ = false;
        watching_input_ = false;
        // A last command without its newline still counts.
        if (!line_.empty() && !line_too_long_) {
            if (auto end = take_line(std::exchange(line_, {}))) return end;
        }
        return input_ended();
    }
    constexpr std::size_t kLongestCommand = 256;
    for (ssize_t i = 0; i < n; ++i) {
        if (buf[i] != '\n') {
            if (line_.size() < kLongestCommand)
                line_ += buf[i];
            else
                line_too_long_ = true;
            continue;
        }
        if (line_too_long_) {
            if (o_.control) report_.error("the command is too long");
        } else if (auto end = take_line(line_)) {
            return end;
        }
        line_.clear();
        line_too_long_ = false;
        if (!watching_input_) break;  // the rest waits for the next Event step
    }
    return std::nullopt;
}

// Lines typed before the step waited are lost, as an early press of the Event button is.
// Only what is there now is dropped, so input that keeps coming cannot hold the run here;
// the end of input is left to the next read.
void MethodRunner::drop_waiting_input() {
    line_.clear();
    line_too_long_ = false;
    int available = 0;
    if (::ioctl(STDIN_FILENO, FIONREAD, &available) != 0) return;
    char buf[4096];
    while (available > 0) {
        // A terminal counts an unfinished line that a read would wait for.
        pollfd p{STDIN_FILENO, POLLIN, 0};
        if (::poll(&p, 1, 0) <= 0 || (p.revents & POLLIN) == 0) return;
        const ssize_t n = ::read(STDIN_FILENO, buf, std::min<std::size_t>(sizeof buf, available));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        available -= static_cast<int>(n);
    }
}

Ending MethodRunner::run() {
    const auto finish = [this](Ending e) {
        // Nothing is told after the end: a pause waiting for its step's record is told now.
        told_started_ = ~0u;
        flush_acknowledgements();
        if (e.end == RunEnd::Stopped) report_.say(e.message + "; stopping the pump");
        return e;
    };
    // The session asked for the initialisation during its start-up, if it had a pump.
    for (const RunEvent& e : monitor_.take_events()) {
        if (auto end = handle(e)) return finish(*end);
    }
    if (!initialising_) begin();
    for (;;) {
        pollfd fds[3] = {{monitor_.wake_fd(), POLLIN, 0},
                         {signals_.fd(), POLLIN, 0},
                         {stdin_open_ && watching_input_ ? STDIN_FILENO : -1, POLLIN, 0}};
        if (::poll(fds, 3, -1) < 0) continue;  // EINTR: a signal, read from its pipe below
        if (const int sig = signals_.take()) {
            return finish({128 + sig, RunEnd::Stopped, "stopped by " + signal_name(sig)});
        }
        if (fds[2].revents != 0) {
            if (auto end = read_standard_input()) return finish(*end);
        }
        if (fds[0].revents != 0) {
            for (const RunEvent& e : monitor_.take_events()) {
                if (auto end = handle(e)) return finish(*end);
            }
        }
    }
}

// A step for a device without a port would wait for it for ever: its message, saying which.
std::optional<std::string> missing_port(const Needs& needs, System& sys,
                                        const std::string& settings_name) {
    for (const auto& [row, link, role] :
         {std::tuple{needs.pump_row, &sys.comm.pump, DeviceRole::Pump},
          std::tuple{needs.valve_row, &sys.comm.valve, DeviceRole::Valve}}) {
        if (row >= 0 && !link->has_port.load()) {
            return "step " + std::to_string(row + 1) + " needs the " + role_name(role) + ", but " +
                   settings_name + " names no " + role_name(role) + " port";
        }
    }
    return std::nullopt;
}

// The ports (1..4) this run uses for the roles given on the command line. A device given
// by its path takes a port number the other role does not use, with that path for it.
struct GivenPorts {
    int pump = 0;
    int valve = 0;
    std::array<std::string, 4> devices;
};

GivenPorts resolve_ports(const RunOptions& o, const PumpSettings& settings,
                         const DevicePortProvider& environment) {
    GivenPorts g;
    for (int i = 1; i <= 4; ++i)
        g.devices[static_cast<std::size_t>(i - 1)] = environment.device_name(i);
    // Roles not given keep the file's port; a path must not take that one.
    g.pump = o.pump_port.given() ? o.pump_port.com : settings.com_pump;
    g.valve = o.valve_port.given() ? o.valve_port.com : settings.com_valve;
    const auto free_port = [](int taken) { return taken == 1 ? 2 : 1; };
    if (!o.pump_port.device.empty()) {
        g.pump = free_port(g.valve);
        g.devices[static_cast<std::size_t>(g.pump - 1)] = o.pump_port.device;
    }
    if (!o.valve_port.device.empty()) {
        g.valve = free_port(g.pump);
        g.devices[static_cast<std::size_t>(g.valve - 1)] = o.valve_port.device;
    }
    if (!o.pump_port.given()) g.pump = 0;
    if (!o.valve_port.given()) g.valve = 0;
    return g;
}

bool readable_file(const std::string& path, std::string* reason) {
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (ec) {
        *reason = ec.message();
        return false;
    }
    if (!std::filesystem::is_regular_file(status)) {
        *reason = "not a regular file";
        return false;
    }
    if (::access(path.c_str(), R_OK) != 0) {
        *reason = std::strerror(errno);
        return false;
    }
    return true;
}

// The run's ports as records name them: those given, else the settings' (with the
// simulated devices' defaults), each with its device.
RunPorts run_ports(const GivenPorts& given, PumpSettings settings, bool simulate,
                   const PortProvider& ports, const RunOptions& o) {
    if (simulate && settings.com_pump == 0 && settings.com_valve == 0) {
        settings.com_pump = 1;
        settings.com_valve = 2;
    }
    const auto port = [&](const PortChoice& choice, int com) -> std::optional<PortRecord> {
        if (!choice.device.empty()) return PortRecord{0, choice.device};
        if (com < 1 || com > 4) return std::nullopt;
        return PortRecord{com, ports.device_name(com)};
    };
    return {port(o.pump_port, given.pump ? given.pump : settings.com_pump),
            port(o.valve_port, given.valve ? given.valve : settings.com_valve)};
}

}  // namespace

int run_method(const RunOptions& o) {
    RunReport report(o.json);
    MethodTable table{};
    std::string reason, sha256;
    const int rows = read_method_file(table, o.method_path, &reason, &sha256);
    const auto too_few_rows = [&] {
        return "--start-at " + std::to_string(o.start_at) + ": " + o.method_path + " has " +
               std::to_string(rows) + (rows == 1 ? " step" : " steps");
    };
    if (o.list) {
        if (rows <= 0 || o.start_at > rows) {
            report.say(rows <= 0 ? o.method_path + ": There was a problem with this file: " + reason
                                 : too_few_rows());
            return kExitUsage;
        }
        for (int r = 0; r < rows; ++r) report.step(table[r], r, std::nullopt);
        return kExitDone;
    }
    // Before any thread exists, so that all of them inherit the blocked signals; a stop
    // signal from here on ends the run with its record.
    ::signal(SIGPIPE, SIG_IGN);
    SignalPipe signals(SignalPipe::Block::UntilUnblocked);
    RunMonitor monitor;

    // What cannot run is found before any port opens, and told after the start record.
    std::optional<Ending> fault;
    const auto refuse = [&](int status, std::string message) {
        if (!fault) fault = failure(status, std::move(message));
    };
    if (!o.log_file.empty() && !report.open_log(o.log_file, &reason))
        refuse(kExitUsage, o.log_file + ": the run record cannot be opened: " + reason);
    if (rows <= 0) {
        refuse(kExitUsage, o.method_path + ": There was a problem with this file: " + reason);
    } else if (o.start_at > rows) {
        refuse(kExitUsage, too_few_rows());
    }
    // With the pump size the session's start-up will read.
    PumpSettings settings;
    const std::string settings_name = o.setup_file.empty() ? "setup.txt" : o.setup_file;
    if (!o.setup_file.empty()) {
        if (readable_file(o.setup_file, &reason))
            read_setup_file(settings, o.setup_file);
        else
            refuse(kExitUsage, o.setup_file + ": the settings cannot be read: " + reason);
    } else {
        read_setup_file(settings, kSetupFileName);
    }
    if (rows > 0) {
        if (const auto problem = check_method(table, rows, settings))
            refuse(kExitUsage, o.method_path + ": " + *problem);
    }
    if (!signals.ok() || !monitor.ok())
        refuse(kExitFailed, std::string("cannot make a pipe: ") + std::strerror(errno));

    const GivenPorts given = resolve_ports(o, settings, DevicePortProvider::from_environment());
    DevicePortProvider devices(given.devices);
    PortProvider* ports = &devices;
    std::unique_ptr<sim::SimulatedPorts> simulated;
    if (o.simulate && !fault) {
        simulated = std::make_unique<sim::SimulatedPorts>(devices, o.time_scale);
        if (simulated->start(&reason))
            ports = simulated.get();
        else
            refuse(kExitFailed, "cannot start the simulated devices: " + reason);
    }
    const RunPorts named_ports = run_ports(given, settings, o.simulate, *ports, o);

    RunStartRecord start;
    start.method = o.method_path;
    if (rows > 0) start.sha256 = sha256;
    start.steps = std::max(rows, 0);
    start.start_row = o.start_at - 1;
    start.repeat = o.repeat;
    start.pump_port = named_ports.pump;
    start.valve_port = named_ports.valve;
    start.settings = settings;
    start.version = QUORVEL_VERSION;
    start.program = "quorvel-run";
    start.time = std::chrono::system_clock::now();
    report.start(start);

    const auto end = [&](const Ending& e, int last_row) {
        report.end(e.end, e.status, last_row, e.message);
        return e.status;
    };
    if (fault) {
        report.error(fault->message);
        return end(*fault, -1);
    }

    SessionOptions session_options;
    session_options.settings_file = o.setup_file;
    // Settings given for the run are the run's only: the working folder is left alone.
    session_options.save_settings =
        o.setup_file.empty() && !o.pump_port.given() && !o.valve_port.given();
    session_options.pump_port = given.pump;
    session_options.valve_port = given.valve;
    session_options.default_ports = o.simulate;

    Session session(monitor, *ports, session_options);
    // From here on, however the program ends, the pump hears the escape byte.
    guard_process_exit(session);
    System& sys = session.sys();
    sys.method_table = table;
    sys.run.step_count.store(rows);

    // Ends the session (escape byte, thread stopped, setup.txt saved, ports closed), and
    // then the record.
    const auto shut_down = [&](const Ending& e, int last_row) {
        const ShutdownResult r = session.shut_down();
        if (r.ran && !r.settings_saved) report.error(settings_save_failure_text(r));
        return end(e, last_row);
    };

    StartupHooks hooks(report);
    const bool started = session.start_up(hooks);
    signals.unblock_here();
    if (!started) {
        const std::string message =
            hooks.failure.empty() ? "the start-up did not complete" : hooks.failure;
        std::optional<PortRecord> port;
        if (hooks.failed_role) port = named_ports.of(*hooks.failed_role);
        report.error(message, hooks.failed_role, port);
        return shut_down(failure(kExitFailed, message), -1);
    }
    const Needs needs = method_needs(table, rows);
    if (const auto missing = missing_port(needs, sys, settings_name)) {
        report.error(*missing);
        return shut_down(failure(kExitFailed, *missing), -1);
    }

    MethodRunner runner(o, session, monitor, signals, report, named_ports,
                        needs.event || o.control);
    const Ending ending = runner.run();
    return shut_down(ending, runner.last_row());
}

}  // namespace quorvel::run
