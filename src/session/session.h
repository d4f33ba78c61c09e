#pragma once
// One run of the program without its windows: the application state, the communication
// thread and the two ports, with the start-up and shutdown sequences and the one
// operation that opens or replaces the port of a device. It tells one listener what
// happens; the windows are one front end of it, quorvel-run another. Main thread (the
// thread that made it), except where a member says otherwise.

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "comm/comm_thread.h"
#include "comm/pump_init.h"
#include "comm/serial_port.h"
#include "session/run_journal.h"
#include "session/session_listener.h"
#include "session/system.h"
#include "session/system_pass.h"

namespace quorvel {

struct SessionOptions {
    // When setup.txt names no port at all: the pump on COM1 and the valve on COM2 (the
    // simulated devices).
    bool default_ports = false;
    int sleep_ms = 50;  // between two passes of the communication thread
    // Called first thing in every pass of the communication thread: a test's seam.
    std::function<void()> before_pass{};
    // Where a shutdown keeps a method with unsaved edits; empty: nowhere (it is dropped).
    std::filesystem::path state_folder{};
    // The settings file; empty: setup.txt in the folder the program was started from.
    std::filesystem::path settings_file{};
    // Whether the shutdown writes the settings back to that file.
    bool save_settings = true;
    // Ports (1..4) this run uses in place of the file's, which is what is written back.
    int pump_port = 0;
    int valve_port = 0;
    // Whether every method run is recorded in runs.jsonl in the state folder, and the
    // program version its records name.
    bool record_runs = false;
    std::string version{};
};

// What the start-up asks of whoever shows things to the operator. Every call may wait
// for the operator.
class SessionHooks {
  public:
    virtual ~SessionHooks() = default;
    // A configured port could not be opened; its number in the settings is already 0 (the
    // configured port stays for setup.txt).
    virtual void port_failed(DeviceRole, const std::string& /*device*/,
                             const std::string& /*reason*/) {}
    // Anything else the operator must know ("the folder ... no longer exists").
    virtual void report(const std::string& /*text*/) {}
    // Asked after every step that may have waited for the operator: true ends the
    // start-up there (the program is being closed meanwhile).
    virtual bool quit_requested() { return false; }
    // Right before the communication thread starts: the first notice.
    virtual void before_thread_start() {}
};

struct PortOpenResult {
    bool opened = false;
    // A pump initialisation for the old controller was running and is abandoned; the front
    // end closes what shows it and starts one for the new port from its first line.
    bool initialisation_cancelled = false;
    std::string device;  // what the port is, for messages
    std::string reason;  // why it did not open
};

struct ShutdownResult {
    bool ran = false;  // false: it had run before, nothing was done now
    bool settings_saved = false;
    std::string settings_path;
    std::string settings_error;  // why setup.txt could not be saved
    // A method still marked as changed at the end, written to the state folder.
    std::string recovery_path;
    std::string recovery_error;  // why it could not be
};

class Session {
  public:
    Session(SessionListener& listener, PortProvider& ports, SessionOptions options = {});
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    System& sys() { return sys_; }
    const std::filesystem::path& state_folder() const { return options_.state_folder; }
    const System& sys() const { return sys_; }
    PortProvider& ports() { return ports_; }

    // The start-up sequence: start-up folder, settings, calibration, the pump's port, the
    // valve's port, the first notice, the communication thread, the carriage returns that
    // wake both devices, and with a pump port a request to initialise it. False when it
    // ended early.
    bool start_up(SessionHooks& hooks);
    bool thread_running() const { return thread_.running(); }

    // Closes the role's port, then opens port `index` (0: none) in its place. The
    // communication thread is never inside a read or write on the port meanwhile; the
    // commands waiting for the device stay queued, its reply state starts afresh. An old
    // pump port hears the escape byte first (its controller may be moving), and the motion
    // lines meant for it are dropped. On a failure the role has no port (its number in the
    // settings is the caller's business). `index` becomes the role's configured port.
    PortOpenResult open_port(DeviceRole role, int index);

    // The port setup.txt names for the role (0: none): the last one chosen, opened or not,
    // so that a device absent for one run is found again at the next. Any thread.
    int configured_port(DeviceRole role) const;

    // Why the role's port may not be changed now (the running method or a move uses the
    // device), or empty when it may.
    std::string port_change_refusal(DeviceRole role);

    // As the menu's Initialize Pump, when none runs: a pump port whose device went away is
    // opened again first (and woken like at start-up), then the initialisation starts.
    InitStart start_pump_initialisation(const std::function<void()>& on_start);

    // The method in the table came from, or was saved to, this file (none: a new method),
    // for the record of its runs. Window thread.
    void set_method_file(std::optional<std::string> path, std::optional<std::string> sha256);

    // Whether a front end follows the method: the runner runs only while one does (the GUI:
    // while the Method window is open). Any thread.
    void follow_method(bool on) { sys_.run.followed.store(on); }

    // The shutdown sequence, once whichever way the program ends: the pump's queue closed,
    // so nothing waiting in it can follow, then the escape byte, nothing waiting for the
    // front end any more, the thread stopped, setup.txt saved, the pump's port closed, then
    // the valve's. A method still marked as changed then (an ending that could not ask, as a
    // front end that asks clears the mark) is kept as a recovery copy in the state folder.
    // Any thread; later calls do nothing.
    ShutdownResult shut_down();
    bool shut_down_done() const;

  private:
    DeviceLink& link(DeviceRole role);
    void open_configured_ports(SessionHooks& hooks);
    void wake_pump();
    void give_up_pump_port();
    void keep_unsaved_method(ShutdownResult& result);

    System sys_;
    PortProvider& ports_;
    SessionOptions options_;
    std::unique_ptr<RunJournal> journal_;  // with record_runs and a state folder
    SystemPass pass_;
    CommThread thread_;
    std::atomic<int> configured_pump_{0};
    std::atomic<int> configured_valve_{0};
    bool have_startup_directory_ = false;
    std::filesystem::path settings_path_;  // empty: neither read nor written
    int file_pump_ = 0;                    // the ports the settings file named
    int file_valve_ = 0;
    mutable std::mutex shutdown_mutex_;
    bool shut_down_ = false;
};

// The text a failed settings save is reported with.
std::string settings_save_failure_text(const ShutdownResult& r);

}  // namespace quorvel
