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
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "comm/pump_init.h"
#include "comm/serial_port.h"
#include "common/signal_pipe.h"
#include "method/method_file.h"
#include "method/method_runner.h"
#include "run/run_monitor.h"
#include "run/step_report.h"
#include "session/method_check.h"
#include "session/process_guard.h"
#include "session/session.h"
#include "simulated_ports.h"

namespace quorvel::run {
namespace {

void say(const std::string& text) {
    std::fprintf(stderr, "quorvel-run: %s\n", text.c_str());
    std::fflush(stderr);
}

// A reader that has gone away costs the report, never the run: the pump is still working.
void print_line(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::string role_name(DeviceRole role) {
    return role == DeviceRole::Pump ? "pump" : "valve";
}

class StartupHooks final : public SessionHooks {
  public:
    void port_failed(DeviceRole role, const std::string& device,
                     const std::string& reason) override {
        failure = "Cannot open " + role_name(role) + " serial port. " + device + ": " + reason;
    }
    void report(const std::string& text) override { say(text); }
    bool quit_requested() override { return !failure.empty(); }

    std::string failure;
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

// The run of one method through a started session, until it ends one way or another.
class MethodRunner {
  public:
    MethodRunner(const RunOptions& o, Session& session, RunMonitor& monitor, SignalPipe& signals,
                 bool read_events)
        : o_(o),
          session_(session),
          sys_(session.sys()),
          monitor_(monitor),
          signals_(signals),
          stdin_open_(read_events) {}

    int run();

  private:
    std::optional<int> handle(const RunEvent& e);
    std::optional<int> read_standard_input();
    void drop_waiting_input();
    std::optional<int> event_cannot_come();
    void begin();
    std::string device_of(DeviceRole role) const;

    const RunOptions& o_;
    Session& session_;
    System& sys_;
    RunMonitor& monitor_;
    SignalPipe& signals_;
    bool stdin_open_;
    // Standard input is read only while an Event step waits for its line, so input that
    // keeps coming at other times waits in its pipe and costs nothing.
    bool watching_input_ = false;
    bool initialising_ = false;
    bool running_ = false;
};

std::string MethodRunner::device_of(DeviceRole role) const {
    const PortChoice& given = role == DeviceRole::Pump ? o_.pump_port : o_.valve_port;
    if (!given.device.empty()) return given.device;
    const PumpSettings s = sys_.settings();
    const int index = role == DeviceRole::Pump ? s.com_pump : s.com_valve;
    return "COM" + std::to_string(index) + ", " + session_.ports().device_name(index);
}

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
    monitor_.begin_run(sys_);
    set_run_mode(sys_, MethodRunMode::Active);
}

std::optional<int> MethodRunner::handle(const RunEvent& e) {
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
            say("no reply from the " + role_name(role) + " (" + device_of(role) + ") within " +
                std::to_string(limit_s) + " s" +
                (initialising_ ? " while initialising the pump" : "") + "; stopping the pump");
            cancel_pump_initialisation(sys_.comm);
            return kExitDevice;
        }
        case K::StepStarted:
            watching_input_ = false;
            if (e.value >= 0 && e.value < kMethodRows) {
                const MethodStep& row = sys_.method_table[e.value];
                print_line(o_.json ? step_json_line(row, e.value, e.time_s)
                                   : step_text_line(row, e.value));
            }
            break;
        case K::EventWaiting:
            if (!stdin_open_) return event_cannot_come();
            drop_waiting_input();
            watching_input_ = true;
            say("step " + std::to_string(e.value + 1) + " waits for an event: press Enter");
            break;
        case K::MethodDone:
            watching_input_ = false;
            // As Reset: SSTP queued; the program ends once the pump has answered it.
            set_run_mode(sys_, MethodRunMode::Idle);
            monitor_.finish();
            break;
        case K::StopAnswered:
            return kExitDone;
        case K::Message:
            say(e.text);
            break;
        case K::RunFailed: {
            const auto role = static_cast<DeviceRole>(e.value);
            say("step " + std::to_string(e.step + 1) + ": " + e.text + " (" + role_name(role) +
                " port " + device_of(role) + "); stopping the pump");
            return kExitDevice;
        }
    }
    return std::nullopt;
}

std::optional<int> MethodRunner::event_cannot_come() {
    const int row = monitor_.unanswered_event_row();
    if (row < 0) return std::nullopt;
    say("standard input has ended while step " + std::to_string(row + 1) +
        " waits for an event; stopping the pump");
    return kExitInputEnded;
}

std::optional<int> MethodRunner::read_standard_input() {
    char buf[512];
    const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return std::nullopt;
    if (n <= 0) {
        stdin_open_ = false;
        return event_cannot_come();
    }
    for (ssize_t i = 0; i < n; ++i) {
        if (buf[i] == '\n' && monitor_.press_event()) watching_input_ = false;
    }
    return std::nullopt;
}

// Lines typed before the step waited are lost, as an early press of the Event button is.
// Only what is there now is dropped, so input that keeps coming cannot hold the run here;
// the end of input is left to the next read.
void MethodRunner::drop_waiting_input() {
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

int MethodRunner::run() {
    // The session asked for the initialisation during its start-up, if it had a pump.
    for (const RunEvent& e : monitor_.take_events()) {
        if (auto status = handle(e)) return *status;
    }
    if (!initialising_) begin();
    for (;;) {
        pollfd fds[3] = {{monitor_.wake_fd(), POLLIN, 0},
                         {signals_.fd(), POLLIN, 0},
                         {stdin_open_ && watching_input_ ? STDIN_FILENO : -1, POLLIN, 0}};
        if (::poll(fds, 3, -1) < 0) continue;  // EINTR: a signal, read from its pipe below
        if (const int sig = signals_.take()) {
            say("stopped by " + signal_name(sig) + "; stopping the pump");
            return 128 + sig;
        }
        if (fds[2].revents != 0) {
            if (auto status = read_standard_input()) return *status;
        }
        if (fds[0].revents != 0) {
            for (const RunEvent& e : monitor_.take_events()) {
                if (auto status = handle(e)) return *status;
            }
        }
    }
}

int list_method(const MethodTable& t, int rows, bool json) {
    for (int r = 0; r < rows; ++r)
        print_line(json ? step_json_line(t[r], r, std::nullopt) : step_text_line(t[r], r));
    return kExitDone;
}

// A step for a device without a port would wait for it for ever: false, saying which.
bool has_ports_for(const Needs& needs, System& sys, const std::string& settings_name) {
    for (const auto& [row, link, role] :
         {std::tuple{needs.pump_row, &sys.comm.pump, DeviceRole::Pump},
          std::tuple{needs.valve_row, &sys.comm.valve, DeviceRole::Valve}}) {
        if (row >= 0 && !link->has_port.load()) {
            say("step " + std::to_string(row + 1) + " needs the " + role_name(role) + ", but " +
                settings_name + " names no " + role_name(role) + " port");
            return false;
        }
    }
    return true;
}

// Ends the session (escape byte, thread stopped, setup.txt saved, ports closed).
int shut_down(Session& session, int status) {
    const ShutdownResult r = session.shut_down();
    if (r.ran && !r.settings_saved) say(settings_save_failure_text(r));
    return status;
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

}  // namespace

int run_method(const RunOptions& o) {
    MethodTable table{};
    std::string reason;
    const int rows = read_method_file(table, o.method_path, &reason);
    if (rows <= 0) {
        say(o.method_path + ": There was a problem with this file: " + reason);
        return kExitUsage;
    }
    if (o.start_at > rows) {
        say("--start-at " + std::to_string(o.start_at) + ": " + o.method_path + " has " +
            std::to_string(rows) + (rows == 1 ? " step" : " steps"));
        return kExitUsage;
    }
    if (o.list) return list_method(table, rows, o.json);
    // Before any port opens, with the pump size the session's start-up will read.
    PumpSettings settings;
    const std::string settings_name = o.setup_file.empty() ? "setup.txt" : o.setup_file;
    if (!o.setup_file.empty()) {
        if (!readable_file(o.setup_file, &reason)) {
            say(o.setup_file + ": the settings cannot be read: " + reason);
            return kExitUsage;
        }
        read_setup_file(settings, o.setup_file);
    } else {
        read_setup_file(settings, kSetupFileName);
    }
    if (const auto fault = check_method(table, rows, settings)) {
        say(o.method_path + ": " + *fault);
        return kExitUsage;
    }
    const Needs needs = method_needs(table, rows);

    ::signal(SIGPIPE, SIG_IGN);
    // Before any thread exists, so that all of them inherit the blocked signals.
    SignalPipe signals(SignalPipe::Block::UntilUnblocked);
    RunMonitor monitor;
    if (!signals.ok() || !monitor.ok()) {
        say(std::string("cannot make a pipe: ") + std::strerror(errno));
        return kExitFailed;
    }

    const GivenPorts given = resolve_ports(o, settings, DevicePortProvider::from_environment());
    DevicePortProvider devices(given.devices);
    PortProvider* ports = &devices;
    std::unique_ptr<sim::SimulatedPorts> simulated;
    SessionOptions session_options;
    session_options.settings_file = o.setup_file;
    // Settings given for the run are the run's only: the working folder is left alone.
    session_options.save_settings =
        o.setup_file.empty() && !o.pump_port.given() && !o.valve_port.given();
    session_options.pump_port = given.pump;
    session_options.valve_port = given.valve;
    if (o.simulate) {
        simulated = std::make_unique<sim::SimulatedPorts>(devices, o.time_scale);
        std::string error;
        if (!simulated->start(&error)) {
            say("cannot start the simulated devices: " + error);
            return kExitFailed;
        }
        ports = simulated.get();
        session_options.default_ports = true;
    }

    Session session(monitor, *ports, session_options);
    // From here on, however the program ends, the pump hears the escape byte.
    guard_process_exit(session);
    System& sys = session.sys();
    sys.method_table = table;
    sys.run.step_count.store(rows);

    StartupHooks hooks;
    const bool started = session.start_up(hooks);
    signals.unblock_here();
    if (!started) {
        say(hooks.failure.empty() ? "the start-up did not complete" : hooks.failure);
        return shut_down(session, kExitFailed);
    }
    if (!has_ports_for(needs, sys, settings_name)) return shut_down(session, kExitFailed);

    MethodRunner runner(o, session, monitor, signals, needs.event);
    return shut_down(session, runner.run());
}

}  // namespace quorvel::run
