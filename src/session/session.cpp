#include "session.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>

#include "comm/pump_commands.h"
#include "common/numeric_text.h"
#include "method/recovery_copy.h"
#include "pumpsetup/calibration.h"
#include "session/process_guard.h"

namespace quorvel {
namespace {

constexpr std::uint8_t kCarriageReturn = 13;

std::string current_directory(std::string* reason) {
    std::string buf(PATH_MAX, '\0');
    if (::getcwd(buf.data(), buf.size()) == nullptr) {
        *reason = std::strerror(errno);
        return {};
    }
    buf.resize(std::strlen(buf.c_str()));
    return buf;
}

}  // namespace

Session::Session(SessionListener& listener, PortProvider& ports, SessionOptions options)
    : sys_(listener),
      ports_(ports),
      options_(std::move(options)),
      journal_(options_.record_runs && !options_.state_folder.empty()
                   ? std::make_unique<RunJournal>(
                         sys_, ports_, options_.state_folder / "runs.jsonl", options_.version,
                         [this](const std::string& text) {
                             sys_.listener().message(text, "Run record");
                         })
                   : nullptr),
      pass_(sys_, options_.before_pass,
            journal_ ? std::function<void()>([j = journal_.get()] { j->on_pass(); })
                     : std::function<void()>()),
      thread_(sys_.comm, pass_, options_.sleep_ms) {}

void Session::set_method_file(std::optional<std::string> path, std::optional<std::string> sha256) {
    if (journal_) journal_->set_method_file(std::move(path), std::move(sha256));
}

DeviceLink& Session::link(DeviceRole role) {
    return role == DeviceRole::Pump ? sys_.comm.pump : sys_.comm.valve;
}

bool Session::start_up(SessionHooks& hooks) {
    std::string reason;
    sys_.startup_directory = current_directory(&reason);
    have_startup_directory_ = !sys_.startup_directory.empty();
    PumpSettings s = sys_.settings();
    if (!options_.settings_file.empty()) {
        settings_path_ = options_.settings_file;
    } else if (have_startup_directory_) {
        settings_path_ = std::filesystem::path(sys_.startup_directory) / kSetupFileName;
    }
    if (!settings_path_.empty()) {
        read_setup_file(s, settings_path_);
    } else {
        // As with a setup.txt that cannot be opened.
        s.pump = 0;
        s.gearbox = 0;
        hooks.report("The folder Quorvel was started in cannot be found (" + reason +
                     "), so setup.txt can be neither read nor saved. Start Quorvel from an "
                     "existing folder to keep the settings.");
        if (hooks.quit_requested()) return false;
    }
    if (options_.default_ports && s.com_pump == 0 && s.com_valve == 0) {
        s.com_pump = 1;
        s.com_valve = 2;
    }
    file_pump_ = s.com_pump;
    file_valve_ = s.com_valve;
    if (options_.pump_port != 0) s.com_pump = options_.pump_port;
    if (options_.valve_port != 0) s.com_valve = options_.valve_port;
    sys_.set_settings(s);
    configured_pump_.store(s.com_pump);
    configured_valve_.store(s.com_valve);
    compute_calibration(sys_.config, s.enable_pump_ul);

    open_configured_ports(hooks);
    if (hooks.quit_requested()) return false;

    hooks.before_thread_start();
    thread_.start();
    // Wakes the controller and the actuator; straight to the ports, outside the queues.
    wake_pump();
    write_raw_byte(sys_.comm.valve, kCarriageReturn);
    // Asked for only now: a start-up message box runs an event loop of its own, which
    // would otherwise start the initialisation before the thread runs and the devices
    // are awake.
    if (sys_.comm.pump.has_port.load()) sys_.listener().initialisation_requested();
    return true;
}

void Session::open_configured_ports(SessionHooks& hooks) {
    for (const DeviceRole role : {DeviceRole::Pump, DeviceRole::Valve}) {
        int PumpSettings::*field =
            role == DeviceRole::Pump ? &PumpSettings::com_pump : &PumpSettings::com_valve;
        const int index = sys_.settings().*field;
        if (index == 0) continue;
        const PortOpenResult r = open_port(role, index);
        if (r.opened) continue;
        // The settings hold what is open; the configured port stays for the next start.
        sys_.update_config([&](PumpSettings& st, PumpCalibration&) { st.*field = 0; });
        hooks.port_failed(role, r.device, r.reason);
        if (hooks.quit_requested()) return;
    }
}

void Session::give_up_pump_port() {
    CommState& c = sys_.comm;
    write_raw_byte(c.pump, kEscapeByte);
    // The moves meant for the old controller, and the stops queued for them (the escape byte
    // has done their work), are nothing the new one was asked for.
    c.pump.queue.drop_if([](std::string_view line) {
        return is_motion_line(line) ||
               starts_with_nocase(line, pump_command_name(PumpCommand::SSTP));
    });
}

PortOpenResult Session::open_port(DeviceRole role, int index) {
    DeviceLink& l = link(role);
    PortOpenResult r;
    if (role == DeviceRole::Pump) {
        CommState& c = sys_.comm;
        // The rest of a script would reach the new controller as immediate commands, and
        // the old one would be left inside its program entry.
        r.initialisation_cancelled = c.init_stage.load() != InitStage::None;
        if (r.initialisation_cancelled) cancel_pump_initialisation(c);
        give_up_pump_port();
    }
    close_port(l);
    (role == DeviceRole::Pump ? configured_pump_ : configured_valve_).store(index);
    if (index == 0) return r;
    r.device = ports_.device_name(index);
    auto port = ports_.open(index, &r.reason);
    r.opened = port != nullptr;
    if (port) replace_port(l, std::move(port));
    return r;
}

int Session::configured_port(DeviceRole role) const {
    return (role == DeviceRole::Pump ? configured_pump_ : configured_valve_).load();
}

void Session::wake_pump() {
    write_raw_byte(sys_.comm.pump, kCarriageReturn);
    write_raw_byte(sys_.comm.pump, kCarriageReturn);
}

InitStart Session::start_pump_initialisation(const std::function<void()>& on_start) {
    CommState& c = sys_.comm;
    const bool would_start = c.init_stage.load() == InitStage::None;
    const int index = sys_.settings().com_pump;
    if (would_start && index != 0 && port_lost(c.pump)) {
        // The dead port holds no device any more, so the new one can open before it goes;
        // while the device stays away, the dead port stays and the pump times out as ever.
        std::string reason;
        if (auto port = ports_.open(index, &reason)) {
            give_up_pump_port();
            replace_port(c.pump, std::move(port));
            wake_pump();
        }
    }
    return quorvel::start_pump_initialisation(c, on_start);
}

std::string Session::port_change_refusal(DeviceRole role) {
    const bool pump = role == DeviceRole::Pump;
    const std::string device = pump ? "pump" : "valve";
    MethodRun& r = sys_.run;
    bool method_uses = false;
    if (r.mode.load() == MethodRunMode::Active) {
        std::lock_guard lock(r.mutex);
        const int count = std::clamp(r.step_count.load(), 0, kMethodRows);
        for (int i = 0; i < count && !method_uses; ++i) {
            const StepAction a = r.steps[static_cast<std::size_t>(i)].action;
            method_uses = pump ? drives_pump(a) : drives_valve(a);
        }
    }
    if (method_uses)
        return "The " + device +
               " port cannot be changed while the method runs. Please reset the method first.";
    if (pump ? sys_.comm.pump_moving.load() : sys_.comm.valve_busy.load())
        return "The " + device + " port cannot be changed while the " + device +
               " moves. Please stop it first.";
    return {};
}

bool Session::shut_down_done() const {
    std::lock_guard lock(shutdown_mutex_);
    return shut_down_;
}

ShutdownResult Session::shut_down() {
    {
        std::lock_guard lock(shutdown_mutex_);
        if (shut_down_) return {};
        shut_down_ = true;
    }
    ShutdownResult result;
    result.ran = true;
    CommState& c = sys_.comm;
    // Whatever still waits for the pump (a move queued a moment ago) must not reach it after
    // the escape byte that stops it.
    c.pump.queue.close();
    write_raw_byte(c.pump, kEscapeByte);
    // Nothing may wait for the front end from now on, then the thread ends before any port
    // it uses is closed.
    sys_.listener().shutting_down();
    thread_.stop();
    if (journal_) journal_->finish();
    if (options_.save_settings && !settings_path_.empty()) {
        PumpSettings s = sys_.settings();
        s.com_pump = options_.pump_port != 0 ? file_pump_ : configured_port(DeviceRole::Pump);
        s.com_valve = options_.valve_port != 0 ? file_valve_ : configured_port(DeviceRole::Valve);
        result.settings_path = settings_path_.string();
        result.settings_saved = write_setup_file(s, settings_path_, s.com_pump != 0,
                                                 s.com_valve != 0, &result.settings_error);
    } else {
        result.settings_saved = true;  // nowhere to save (the operator was told), or not asked
    }
    close_port(c.pump);
    close_port(c.valve);
    keep_unsaved_method(result);
    return result;
}

void Session::keep_unsaved_method(ShutdownResult& result) {
    const MethodDocument& doc = sys_.document;
    const int rows = sys_.run.step_count.load();
    if (!doc.method_modified || rows <= 0 || options_.state_folder.empty()) return;
    const RecoveryCopy copy =
        write_recovery_copy(sys_.method_table, rows, doc.method_title, options_.state_folder);
    result.recovery_path = copy.path.string();
    result.recovery_error = copy.error;
}

std::string settings_save_failure_text(const ShutdownResult& r) {
    return "The settings could not be saved to " + r.settings_path + ": " + r.settings_error +
           ". The changes made in this run are lost.";
}

Session::~Session() {
    release_process_guard(*this);
    shut_down();
}

}  // namespace quorvel
