// The session's start-up and shutdown sequences and its port replacement, with in-memory
// ports whose every write and close lands on one timeline.

#include "session/session.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "comm/comm_thread.h"
#include "fake_ports.h"
#include "method/method_file.h"
#include "method/recovery_copy.h"
#include "recording_listener.h"
#include "session/process_guard.h"
#include "session/system_pass.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;
using testing::FakePort;
using testing::FakePortProvider;
using testing::Timeline;

// Also puts the session's own events on the timeline.
class TimelineListener final : public testing::RecordingListener {
  public:
    explicit TimelineListener(Timeline& t) : timeline_(t) {}
    void initialisation_requested() override {
        timeline_.add("initialisation requested");
        RecordingListener::initialisation_requested();
    }
    void shutting_down() override {
        timeline_.add("listener shut down");
        RecordingListener::shutting_down();
    }

  private:
    Timeline& timeline_;
};

// Holds the communication thread at the start of a pass, from close() until open().
class PassGate {
  public:
    void pass() {
        std::unique_lock lock(mutex_);
        if (!closed_) return;
        held_ = true;
        changed_.notify_all();
        changed_.wait(lock, [&] { return !closed_; });
        held_ = false;
    }
    void close() {
        std::lock_guard lock(mutex_);
        closed_ = true;
    }
    bool wait_held() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return held_; });
    }
    void open() {
        std::lock_guard lock(mutex_);
        closed_ = false;
        changed_.notify_all();
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool closed_ = false;
    bool held_ = false;
};

class Hooks final : public SessionHooks {
  public:
    Hooks(Timeline& t, Session*& s) : timeline_(t), session_(s) {}
    void port_failed(DeviceRole role, const std::string& device,
                     const std::string& reason) override {
        timeline_.add(std::string(role == DeviceRole::Pump ? "pump" : "valve") +
                      " failed: " + device + ": " + reason);
        quit_ = quit_on_failure;
    }
    void report(const std::string& text) override {
        timeline_.add("report");
        reported.push_back(text);
    }
    bool quit_requested() override { return quit_; }
    void before_thread_start() override {
        timeline_.add(std::string("first notice, thread ") +
                      (session_->thread_running() ? "running" : "not running"));
    }
    bool quit_on_failure = false;
    std::vector<std::string> reported;

  private:
    Timeline& timeline_;
    Session*& session_;
    bool quit_ = false;
};

class SessionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        previous_ = fs::current_path();
        char pattern[] = "/tmp/quorvel-session-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        fs::current_path(dir_);
    }
    void TearDown() override {
        session_.reset();
        fs::current_path(previous_);
        fs::remove_all(dir_);
    }
    void write_setup(const std::string& text) {
        std::ofstream(dir_ / "setup.txt", std::ios::binary) << text;
    }
    std::string read_setup() const {
        std::ifstream in(dir_ / "setup.txt", std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    Session& make_session(SessionOptions options = {.default_ports = false, .sleep_ms = 5}) {
        session_ = std::make_unique<Session>(listener_, ports_, options);
        raw_ = session_.get();
        return *session_;
    }

    fs::path previous_;
    fs::path dir_;
    Timeline timeline_;
    TimelineListener listener_{timeline_};
    FakePortProvider ports_{timeline_};
    std::unique_ptr<Session> session_;
    Session* raw_ = nullptr;
    Hooks hooks_{timeline_, raw_};
};

using Events = std::vector<std::string>;

TEST_F(SessionTest, StartUpOpensPumpThenValveAndWakesThemOnceTheThreadRuns) {
    write_setup("com_pump=1\r\ncom_valve=2\r\npump=1\r\n");
    Session& s = make_session();
    ASSERT_TRUE(s.start_up(hooks_));
    EXPECT_TRUE(s.thread_running());
    EXPECT_EQ(timeline_.events(),
              (Events{"COM1 opened", "COM2 opened", "first notice, thread not running", "COM1 \\r",
                      "COM1 \\r", "COM2 \\r", "initialisation requested"}));
    EXPECT_EQ(s.sys().startup_directory, fs::canonical(dir_).string());
}

// A configured port whose device is absent stays in setup.txt for the next start, though
// it is no port of this run.
TEST_F(SessionTest, PortsThatCannotBeOpenedAreReportedAndKeptInSetup) {
    const struct {
        const char* name;
        const char* setup;
        std::vector<int> failing;
        bool default_ports;
        bool quit_on_failure;
        Events events;
        const char* written;  // the start of setup.txt after the shutdown
    } cases[] = {
        {"nothing configured",
         "",
         {},
         false,
         false,
         {"first notice, thread not running"},
         "gearbox=0\r\npump=0\r\n"},
        {"pump missing",
         "com_pump=3\r\ncom_valve=2\r\n",
         {3},
         false,
         false,
         {"COM3 refused", "pump failed: /dev/fake3: gone", "COM2 opened",
          "first notice, thread not running", "COM2 \\r"},
         "com_pump=3\r\ncom_valve=2\r\ngearbox=0\r\npump=1\r\n"},
        {"valve missing",
         "com_pump=1\r\ncom_valve=4\r\n",
         {4},
         false,
         false,
         {"COM1 opened", "COM4 refused", "valve failed: /dev/fake4: gone",
          "first notice, thread not running", "COM1 \\r", "COM1 \\r", "initialisation requested"},
         "com_pump=1\r\ncom_valve=4\r\ngearbox=0\r\n"},
        // A quit while the pump's message is shown: the valve was never tried.
        {"quit during the pump's message",
         "com_pump=1\r\ncom_valve=2\r\n",
         {1},
         false,
         true,
         {"COM1 refused", "pump failed: /dev/fake1: gone"},
         "com_pump=1\r\ncom_valve=2\r\ngearbox=0\r\n"},
        {"simulation defaults",
         "",
         {},
         true,
         false,
         {"COM1 opened", "COM2 opened", "first notice, thread not running", "COM1 \\r", "COM1 \\r",
          "COM2 \\r", "initialisation requested"},
         "com_pump=1\r\ncom_valve=2\r\ngearbox=0\r\npump=0\r\n"},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        timeline_.clear();
        fs::remove(dir_ / "setup.txt");
        if (*k.setup) write_setup(k.setup);
        for (int i = 1; i <= 4; ++i) ports_.heal(i);
        for (const int i : k.failing) ports_.fail(i, "gone");
        Hooks hooks(timeline_, raw_);
        hooks.quit_on_failure = k.quit_on_failure;
        Session& s = make_session({.default_ports = k.default_ports, .sleep_ms = 5});
        EXPECT_EQ(s.start_up(hooks), !k.quit_on_failure);
        EXPECT_EQ(timeline_.events(), k.events);
        // For the rest of a run the settings name only the ports that are open.
        if (!k.quit_on_failure) {
            EXPECT_EQ(s.sys().settings().com_pump != 0, s.sys().comm.pump.has_port.load());
            EXPECT_EQ(s.sys().settings().com_valve != 0, s.sys().comm.valve.has_port.load());
        }
        EXPECT_TRUE(s.shut_down().settings_saved);
        EXPECT_EQ(read_setup().rfind(k.written, 0), 0u) << read_setup();
        session_.reset();
    }
}

// Settings from a file named for the run, ports that stand in for the file's, and a run
// that writes nothing back.
TEST_F(SessionTest, SettingsFileAndPortsCanBeGivenForOneRun) {
    const std::string setup = "com_pump=1\r\ncom_valve=2\r\npump=1\r\n";
    const std::string lab = "com_pump=3\r\ncom_valve=4\r\npump=2\r\n";
    const struct {
        const char* name;
        bool lab_file, save;
        int pump_port, valve_port;
        Events opened;
        int pump_size;
        std::string setup_after, lab_after;  // the start of each file after the shutdown
    } cases[] = {
        {"another file",
         true,
         true,
         0,
         0,
         {"COM3 opened", "COM4 opened"},
         2,
         setup,
         "com_pump=3\r\ncom_valve=4\r\ngearbox=0\r\npump=2\r\n"},
        {"nothing saved", false, false, 0, 0, {"COM1 opened", "COM2 opened"}, 1, setup, lab},
        {"pump port given",
         false,
         true,
         3,
         0,
         {"COM3 opened", "COM2 opened"},
         1,
         "com_pump=1\r\ncom_valve=2\r\ngearbox=0\r\npump=1\r\n",
         lab},
        {"valve port given, nothing saved",
         false,
         false,
         0,
         4,
         {"COM1 opened", "COM4 opened"},
         1,
         setup,
         lab},
        {"both given over another file",
         true,
         true,
         2,
         1,
         {"COM2 opened", "COM1 opened"},
         2,
         setup,
         "com_pump=3\r\ncom_valve=4\r\ngearbox=0\r\npump=2\r\n"},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        timeline_.clear();
        write_setup(setup);
        std::ofstream(dir_ / "lab.txt", std::ios::binary) << lab;
        Session& s = make_session({.default_ports = false,
                                   .sleep_ms = 5,
                                   .settings_file = k.lab_file ? dir_ / "lab.txt" : fs::path(),
                                   .save_settings = k.save,
                                   .pump_port = k.pump_port,
                                   .valve_port = k.valve_port});
        ASSERT_TRUE(s.start_up(hooks_));
        const Events events = timeline_.events();
        ASSERT_GE(events.size(), 2u);
        EXPECT_EQ(Events(events.begin(), events.begin() + 2), k.opened);
        EXPECT_EQ(s.sys().settings().pump, k.pump_size);
        EXPECT_TRUE(s.shut_down().settings_saved);
        EXPECT_EQ(read_setup().rfind(k.setup_after, 0), 0u) << read_setup();
        std::ifstream in(dir_ / "lab.txt", std::ios::binary);
        const std::string lab_after{std::istreambuf_iterator<char>(in), {}};
        EXPECT_EQ(lab_after.rfind(k.lab_after, 0), 0u) << lab_after;
        session_.reset();
    }
}

TEST_F(SessionTest, ShutDownStopsThePumpFirstAndRunsOnce) {
    write_setup("com_pump=1\r\ncom_valve=2\r\n");
    PassGate gate;
    Session& s = make_session(
        {.default_ports = false, .sleep_ms = 5, .before_pass = [&gate] { gate.pass(); }});
    ASSERT_TRUE(s.start_up(hooks_));
    gate.close();
    ASSERT_TRUE(gate.wait_held());
    // A move waits in the pump's queue as the shutdown begins, and the held pass goes on
    // once the escape byte is out: the move must not follow it.
    enqueue_command(s.sys().comm, "SLEW=1.00000000", s.sys().comm.pump);
    ASSERT_EQ(s.sys().comm.pump.queue.pending(), 1);
    timeline_.clear();
    fs::remove(dir_ / "setup.txt");
    std::thread release([&] {
        timeline_.wait_for("COM1 \\e");
        gate.open();
    });

    const ShutdownResult r = s.shut_down();
    release.join();
    EXPECT_TRUE(r.ran && r.settings_saved);
    EXPECT_FALSE(s.thread_running());
    EXPECT_EQ(timeline_.events(),
              (Events{"COM1 \\e", "listener shut down", "COM1 closed", "COM2 closed"}));
    EXPECT_EQ(read_setup().rfind("com_pump=1\r\ncom_valve=2\r\n", 0), 0u);

    EXPECT_FALSE(s.shut_down().ran);
    EXPECT_EQ(timeline_.events().size(), 4u) << "the second shutdown does nothing";
}

// An ending that could not ask keeps a method still marked as changed as an ordinary method
// file in the state folder, and the next start is told where, once.
TEST_F(SessionTest, UnsavedMethodEditsOutliveTheShutdown) {
    const struct {
        bool modified;
        int rows;
        bool kept;
    } cases[] = {{true, 2, true}, {false, 2, false}, {true, 0, false}};
    const fs::path state = dir_ / "state" / "quorvel";
    for (const auto& k : cases) {
        SCOPED_TRACE(std::to_string(k.modified) + " " + std::to_string(k.rows));
        Session& s = make_session({.sleep_ms = 5, .state_folder = state});
        System& sys = s.sys();
        sys.method_table[0] = {"Dispense", "1", "60", "0", "false"};
        sys.method_table[1] = {"Multi Valve", "2", "CW", "0", "false"};
        sys.run.step_count = k.rows;
        sys.document.method_title = "rinse.pmf";
        sys.document.method_modified = k.modified;
        const ShutdownResult r = s.shut_down();
        EXPECT_EQ(r.recovery_path.empty(), !k.kept) << r.recovery_error;
        const auto noted = take_recovery_notes(state);
        EXPECT_EQ(noted, k.kept ? std::vector<fs::path>{r.recovery_path} : std::vector<fs::path>{});
        EXPECT_TRUE(take_recovery_notes(state).empty()) << "told once";
        if (!k.kept) continue;
        EXPECT_TRUE(fs::path(r.recovery_path).filename().string().starts_with("rinse-unsaved-"));
        MethodTable back{};
        EXPECT_EQ(read_method_file(back, r.recovery_path), 2);
        EXPECT_EQ(back[1], sys.method_table[1]);
    }
}

TEST_F(SessionTest, AFailedSettingsSaveIsReportedAndTheShutdownFinishes) {
    fs::create_directory(dir_ / "setup.txt");  // nothing can replace a folder
    Session& s = make_session();
    ASSERT_TRUE(s.start_up(hooks_));
    const ShutdownResult r = s.shut_down();
    EXPECT_TRUE(r.ran);
    EXPECT_FALSE(r.settings_saved);
    EXPECT_FALSE(r.settings_error.empty());
    const std::string text = settings_save_failure_text(r);
    EXPECT_NE(text.find((fs::canonical(dir_) / "setup.txt").string()), std::string::npos) << text;
    EXPECT_FALSE(s.thread_running());
}

TEST_F(SessionTest, AStartUpFolderThatIsGoneIsReportedNotFatal) {
    fs::remove(dir_);  // the folder the program is started from vanishes
    Session& s = make_session();
    ASSERT_TRUE(s.start_up(hooks_));
    ASSERT_EQ(hooks_.reported.size(), 1u);
    EXPECT_NE(hooks_.reported[0].find("setup.txt"), std::string::npos);
    EXPECT_EQ(s.sys().settings().pump, 0);
    EXPECT_TRUE(s.thread_running());
    EXPECT_TRUE(s.shut_down().settings_saved) << "nothing to save, and already said so";
    fs::create_directory(dir_);  // for TearDown
}

TEST_F(SessionTest, ReplacingAPortClosesTheOldFirstAndForgetsWhatItOwed) {
    Session& s = make_session();  // no start-up: the test drives the passes
    CommState& c = s.sys().comm;
    SystemPass pass(s.sys());
    ASSERT_TRUE(s.open_port(DeviceRole::Pump, 1).opened);
    pass.run(1000);
    enqueue_command(s.sys().comm, "VM=1.00000000", c.pump);
    pass.run(1050);  // sent: the old device owes a reply
    enqueue_command(s.sys().comm, "MOVR=1.00000000", c.pump);
    enqueue_command(s.sys().comm, "SSTP", c.pump);
    enqueue_command(s.sys().comm, "print pos", c.pump);
    timeline_.clear();

    const PortOpenResult r = s.open_port(DeviceRole::Pump, 3);
    EXPECT_TRUE(r.opened);
    EXPECT_EQ(r.device, "/dev/fake3");
    // The old controller may be moving: it is stopped before it goes, and neither the move
    // meant for it nor the stop queued for it reaches the new one.
    EXPECT_EQ(timeline_.events(), (Events{"COM1 \\e", "COM1 closed", "COM3 opened"}));
    // The waiting command goes to the new device at once, and nothing times out later.
    pass.run(1100);
    EXPECT_EQ(timeline_.events().back(), "COM3 print pos\\r");
    ports_.last(3)->feed(">");
    for (std::uint32_t t = 1150; t < 8000; t += 50) pass.run(t);
    EXPECT_EQ(listener_.count(testing::Heard::Timeout), 0);

    ports_.fail(2, "busy");
    timeline_.clear();
    const PortOpenResult failed = s.open_port(DeviceRole::Pump, 2);
    EXPECT_FALSE(failed.opened);
    EXPECT_EQ(failed.reason, "busy");
    EXPECT_FALSE(c.pump.has_port.load());
    EXPECT_EQ(timeline_.events(), (Events{"COM3 \\e", "COM3 closed", "COM2 refused"}));
}

TEST_F(SessionTest, ANewPumpPortDuringTheInitialisationCancelsItForAWholeOne) {
    Session& s = make_session();
    CommState& c = s.sys().comm;
    SystemPass pass(s.sys());
    ASSERT_TRUE(s.open_port(DeviceRole::Pump, 1).opened);
    ASSERT_EQ(s.start_pump_initialisation({}), InitStart::Started);
    for (std::uint32_t t = 1000; c.init_stage.load() != InitStage::ControllerSetup; t += 50) {
        ports_.last(1)->feed(">");
        pass.run(t);
    }
    EXPECT_FALSE(s.open_port(DeviceRole::Valve, 2).initialisation_cancelled);
    timeline_.clear();
    const PortOpenResult r = s.open_port(DeviceRole::Pump, 3);
    EXPECT_TRUE(r.initialisation_cancelled);
    EXPECT_EQ(c.init_stage.load(), InitStage::None);
    EXPECT_TRUE(c.pump.queue.empty()) << "no script line is left for the new controller";
    EXPECT_EQ(timeline_.events(), (Events{"COM1 \\e", "COM1 closed", "COM3 opened"}));
    ASSERT_EQ(s.start_pump_initialisation({}), InitStart::Started);
    pass.run(5000);
    pass.run(5050);
    EXPECT_EQ(timeline_.events().back(), "COM3 print \"ble=\",ble\\r");
}

// A device that the run or a move is using keeps its port; the other one may change.
TEST_F(SessionTest, APortChangeIsRefusedForADeviceInUse) {
    Session& s = make_session();
    System& sys = s.sys();
    const MethodStep dispense{"Dispense", "20", "600", "0", "false"};
    const MethodStep valve{"Multi Valve", "3", "CW", "0", "false"};
    const struct {
        const char* name;
        std::vector<MethodStep> rows;
        MethodRunMode mode;
        bool moving, busy;
        bool pump_refused, valve_refused;
    } cases[] = {
        {"idle", {dispense, valve}, MethodRunMode::Idle, false, false, false, false},
        {"pump method runs", {dispense}, MethodRunMode::Active, false, false, true, false},
        {"valve method runs", {{}, valve}, MethodRunMode::Active, false, false, false, true},
        {"test move", {}, MethodRunMode::None, true, false, true, false},
        {"valve moving", {}, MethodRunMode::None, false, true, false, true},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        sys.method_table = {};
        std::copy(k.rows.begin(), k.rows.end(), sys.method_table.begin());
        sys.run.step_count = static_cast<int>(k.rows.size());
        set_run_mode(sys, k.mode);
        sys.comm.pump_moving = k.moving;
        sys.comm.valve_busy = k.busy;
        const std::string pump = s.port_change_refusal(DeviceRole::Pump);
        const std::string valve_text = s.port_change_refusal(DeviceRole::Valve);
        EXPECT_EQ(!pump.empty(), k.pump_refused) << pump;
        EXPECT_EQ(!valve_text.empty(), k.valve_refused) << valve_text;
    }
    EXPECT_EQ(s.port_change_refusal(DeviceRole::Valve),
              "The valve port cannot be changed while the valve moves. Please stop it first.");
}

TEST_F(SessionTest, InitializePumpReopensAPortWhoseDeviceCameBack) {
    write_setup("com_pump=1\r\n");
    Session& s = make_session();
    ASSERT_TRUE(s.start_up(hooks_));
    FakePort* first = ports_.last(1);
    ports_.fail(1, "no such device");
    first->go_away();
    // The thread gives the device back as soon as it notices.
    ASSERT_TRUE(timeline_.wait_for("COM1 closed"));
    EXPECT_TRUE(s.sys().comm.pump.has_port.load()) << "commands still go out, and time out";

    // Still away: the initialisation runs against the dead port and times out as ever.
    timeline_.clear();
    EXPECT_EQ(s.start_pump_initialisation({}), InitStart::Started);
    EXPECT_EQ(timeline_.events(), (Events{"COM1 refused"}));
    cancel_pump_initialisation(s.sys().comm);

    // Back: opened again, woken like at start-up, then initialised.
    ports_.heal(1);
    timeline_.clear();
    EXPECT_EQ(s.start_pump_initialisation({}), InitStart::Started);
    timeline_.wait_until([](const Events& e) { return e.size() >= 4; });
    EXPECT_EQ(timeline_.events(),
              (Events{"COM1 opened", "COM1 \\r", "COM1 \\r", "COM1 print \"ble=\",ble\\r"}));
}

// However the process ends after the guard is set, the pump hears the escape byte. Run in
// a child process, whose ending is the point of the test.
TEST_F(SessionTest, EveryEndingOfTheProcessStopsThePump) {
    const struct {
        const char* name;
        void (*end)();
        bool settings_saved;
    } cases[] = {
        {"exit() from anywhere", [] { std::exit(3); }, true},
        {"abort()", [] { std::abort(); }, false},
        {"a crash", [] { ::raise(SIGSEGV); }, false},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        fs::remove(dir_ / "setup.txt");
        int pipe_fds[2];
        ASSERT_EQ(::pipe(pipe_fds), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(pipe_fds[0]);
            // The pump is a pipe here: what reaches it is what the parent reads.
            class PipePort final : public SerialPort {
              public:
                explicit PipePort(int fd) : fd_(fd) {}
                bool read_byte(unsigned char&) override { return false; }
                void write(std::string_view b) override {
                    [[maybe_unused]] auto n = ::write(fd_, b.data(), b.size());
                }
                void close() override {}
                int emergency_fd() const override { return fd_; }

              private:
                int fd_;
            };
            class PipeProvider final : public PortProvider {
              public:
                explicit PipeProvider(int fd) : fd_(fd) {}
                std::unique_ptr<SerialPort> open(int, std::string*) override {
                    return std::make_unique<PipePort>(fd_);
                }
                std::string device_name(int) const override { return "pipe"; }

              private:
                int fd_;
            };
            std::ofstream(dir_ / "setup.txt", std::ios::binary) << "com_pump=1\r\n";
            PipeProvider provider(pipe_fds[1]);
            SessionListener quiet;
            SessionHooks hooks;
            auto* s = new Session(quiet, provider, {.default_ports = false, .sleep_ms = 5});
            s->start_up(hooks);
            guard_process_exit(*s);
            k.end();
            ::_exit(99);
        }
        ::close(pipe_fds[1]);
        std::string heard;
        char buf[256];
        for (ssize_t n; (n = ::read(pipe_fds[0], buf, sizeof buf)) > 0;) heard.append(buf, n);
        ::close(pipe_fds[0]);
        int status = 0;
        ::waitpid(child, &status, 0);
        EXPECT_NE(WIFEXITED(status) ? WEXITSTATUS(status) : 0, 99);
        EXPECT_EQ(heard, "\r\r\x1b");
        EXPECT_EQ(
            fs::exists(dir_ / "setup.txt") && read_setup().rfind("com_pump=1\r\ngearbox=0", 0) == 0,
            k.settings_saved)
            << read_setup();
    }
}

}  // namespace
}  // namespace quorvel
