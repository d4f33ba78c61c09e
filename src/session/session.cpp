#include "session.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "pumpsetup/calibration.h"

namespace quorvel {
namespace {

constexpr std::uint8_t kCarriageReturn = 13;
constexpr std::uint8_t kEscape = 27;

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

Session::Session(Notifier& notifier, PortProvider& ports, SessionOptions options)
    : sys_(notifier), ports_(ports), options_(options), thread_(sys_, options.sleep_ms) {}

DeviceLink& Session::link(DeviceRole role) {
    return role == DeviceRole::Pump ? sys_.comm.pump : sys_.comm.valve;
}

bool Session::start_up(SessionHooks& hooks) {
    std::string reason;
    sys_.startup_directory = current_directory(&reason);
    have_startup_directory_ = !sys_.startup_directory.empty();
    PumpSettings s = sys_.settings();
    if (have_startup_directory_) {
        read_setup_file(s, std::filesystem::path(sys_.startup_directory) / kSetupFileName);
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
    sys_.set_settings(s);
    compute_calibration(sys_, s.enable_pump_ul);

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
    if (sys_.comm.pump.has_port.load()) sys_.notifier().post(WindowId::Main, Note::StartInit);
    return true;
}

void Session::open_configured_ports(SessionHooks& hooks) {
    for (const DeviceRole role : {DeviceRole::Pump, DeviceRole::Valve}) {
        const bool pump = role == DeviceRole::Pump;
        (pump ? pump_attempted_ : valve_attempted_) = true;
        int PumpSettings::*field = pump ? &PumpSettings::com_pump : &PumpSettings::com_valve;
        const int index = sys_.settings().*field;
        if (index == 0) continue;
        const PortOpenResult r = open_port(role, index);
        if (r.opened) continue;
        sys_.update_config([&](PumpSettings& st, PumpCalibration&) { st.*field = 0; });
        hooks.port_failed(role, r.device, r.reason);
        if (hooks.quit_requested()) return;
    }
}

PortOpenResult Session::open_port(DeviceRole role, int index) {
    DeviceLink& l = link(role);
    close_port(l);
    PortOpenResult r;
    if (index == 0) return r;
    r.device = ports_.device_name(index);
    auto port = ports_.open(index, &r.reason);
    r.opened = port != nullptr;
    if (port) replace_port(l, std::move(port));
    return r;
}

void Session::wake_pump() {
    write_raw_byte(sys_.comm.pump, kCarriageReturn);
    write_raw_byte(sys_.comm.pump, kCarriageReturn);
}

InitStart Session::start_pump_initialisation(const std::function<void()>& open_init_window) {
    CommState& c = sys_.comm;
    const bool would_start =
        c.init_stage.load() == InitStage::None && !sys_.notifier().is_open(WindowId::Init);
    const int index = sys_.settings().com_pump;
    if (would_start && index != 0 && port_lost(c.pump)) {
        // The dead port holds no device any more, so the new one can open before it goes;
        // while the device stays away, the dead port stays and the pump times out as ever.
        std::string reason;
        if (auto port = ports_.open(index, &reason)) {
            replace_port(c.pump, std::move(port));
            wake_pump();
        }
    }
    return quorvel::start_pump_initialisation(sys_, open_init_window);
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
    write_raw_byte(c.pump, kEscape);
    // Nothing may wait for a window from now on, then the thread ends before any port it
    // uses is closed.
    sys_.notifier().shutdown();
    thread_.stop();
    if (have_startup_directory_) {
        const PumpSettings s = sys_.settings();
        // A port is written only when it is open; one the start-up never came to keeps
        // its configured number.
        const bool pump = c.pump.has_port.load() || (!pump_attempted_ && s.com_pump != 0);
        const bool valve = c.valve.has_port.load() || (!valve_attempted_ && s.com_valve != 0);
        const std::filesystem::path path =
            std::filesystem::path(sys_.startup_directory) / kSetupFileName;
        result.settings_path = path.string();
        result.settings_saved = write_setup_file(s, path, pump, valve, &result.settings_error);
    } else {
        result.settings_saved = true;  // nowhere to save, and the operator was told so
    }
    close_port(c.pump);
    close_port(c.valve);
    return result;
}

std::string settings_save_failure_text(const ShutdownResult& r) {
    return "The settings could not be saved to " + r.settings_path + ": " + r.settings_error +
           ". The changes made in this run are lost.";
}

// --- the process guard ------------------------------------------------------------------

namespace {

std::atomic<Session*> guarded_session{nullptr};
static_assert(std::atomic<Session*>::is_always_lock_free);
static_assert(std::atomic<int>::is_always_lock_free);

constexpr int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGSYS};
struct sigaction previous_actions[sizeof kCrashSignals / sizeof kCrashSignals[0]];

void shut_down_at_exit() {
    if (Session* s = guarded_session.exchange(nullptr)) s->shut_down();
}

// Async-signal-safe: two atomic loads and a write().
void on_crash(int sig) {
    if (Session* s = guarded_session.load()) {
        const int fd = s->sys().comm.pump.emergency_fd.load();
        if (fd >= 0) {
            const char esc = static_cast<char>(kEscape);
            [[maybe_unused]] const ssize_t n = ::write(fd, &esc, 1);
        }
    }
    for (std::size_t i = 0; i < std::size(kCrashSignals); ++i) {
        if (kCrashSignals[i] == sig) ::sigaction(sig, &previous_actions[i], nullptr);
    }
    ::raise(sig);  // delivered as before once this handler returns
}

}  // namespace

void guard_process_exit(Session& session) {
    static const bool installed = [] {
        std::atexit(shut_down_at_exit);
        struct sigaction sa {};
        sa.sa_handler = on_crash;
        sigemptyset(&sa.sa_mask);
        for (std::size_t i = 0; i < std::size(kCrashSignals); ++i) {
            ::sigaction(kCrashSignals[i], &sa, &previous_actions[i]);
        }
        return true;
    }();
    (void)installed;
    guarded_session.store(&session);
}

Session::~Session() {
    Session* self = this;
    guarded_session.compare_exchange_strong(self, nullptr);
    shut_down();
}

}  // namespace quorvel
