// The real quorvel program, started offscreen in a temporary directory, against the
// simulated devices.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "child_process.h"
#include "comm/pump_init.h"
#include "sim_device.h"
#include "wait_until.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;
using testing::ChildProcess;
using testing::wait_until;

class ProgramE2e : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("quorvel-program-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "runtime");
        fs::permissions(dir_ / "runtime", fs::perms::owner_all);
        std::string error;
        ASSERT_TRUE(pump_.start(&error)) << error;
        ASSERT_TRUE(valve_.start(&error)) << error;
    }
    void TearDown() override { fs::remove_all(dir_); }

    void write_setup(const std::string& text) {
        std::ofstream(dir_ / "setup.txt", std::ios::binary) << text;
    }
    std::string read_setup() {
        std::ifstream in(dir_ / "setup.txt", std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    std::unique_ptr<ChildProcess> start(const std::string& com2 = {},
                                        const std::map<std::string, std::string>& extra = {},
                                        const std::vector<std::string>& args = {}) {
        std::map<std::string, std::string> env{
            {"QT_QPA_PLATFORM", "offscreen"},
            // A decimal comma must reach neither setup.txt nor the controller.
            {"LC_ALL", "de_DE.UTF-8"},
            {"XDG_RUNTIME_DIR", (dir_ / "runtime").string()},
            {"QUORVEL_COM1", pump_.device_path()},
            {"QUORVEL_COM2", com2.empty() ? valve_.device_path() : com2}};
        for (const auto& [k, v] : extra) env[k] = v;
        return std::make_unique<ChildProcess>(QUORVEL_BINARY, args, dir_.string(), env);
    }
    static std::vector<std::string> script_lines() {
        std::vector<std::string> lines{"print \"ble=\",ble", "print \"blsh=\",blsh"};
        for (const std::string_view l : controller_setup_script) {
            if (l != "stop") lines.emplace_back(l);
        }
        return lines;
    }

    fs::path dir_;
    sim::SimPump pump_{0.05};
    sim::SimValve valve_{0.05};
};

TEST_F(ProgramE2e, StartUpWakesBothDevicesAndInitialises) {
    write_setup("com_pump=1\r\ncom_valve=2\r\npump=1\r\n");
    auto program = start();
    ASSERT_TRUE(program->started());
    ASSERT_TRUE(wait_until([&] { return pump_.monitor_running(); }, std::chrono::seconds(60)));

    std::vector<std::string> expected{"", ""};  // the two carriage returns
    for (const std::string& l : script_lines()) expected.push_back(l);
    ASSERT_TRUE(wait_until([&] { return pump_.received_lines().size() >= expected.size() + 2; }));
    const auto lines = pump_.received_lines();
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + expected.size()), expected);
    EXPECT_EQ(lines[expected.size()], "MSEL=256.00000000");
    EXPECT_EQ(lines[expected.size() + 1], "MUNIT=2432.00000000");
    EXPECT_EQ(valve_.received_bytes(), "\r");
    program->signal(SIGTERM);
    EXPECT_EQ(program->wait_exit(std::chrono::seconds(30)), 0);
}

// However the program is ended, short of SIGKILL, the pump hears the escape byte once, as
// the last thing; all but a crash also save the settings.
TEST_F(ProgramE2e, EveryEndingStopsThePumpOnce) {
    const struct {
        const char* name;
        int signal;
        bool clean;  // exit code 0; otherwise any abnormal end (a sanitizer reports its own)
        bool settings_saved;
    } cases[] = {
        {"terminated", SIGTERM, true, true},     {"interrupted", SIGINT, true, true},
        {"terminal closed", SIGHUP, true, true}, {"quit key", SIGQUIT, true, true},
        {"user signal", SIGUSR1, true, true},    {"crash", SIGSEGV, false, false},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        pump_.clear_received();
        write_setup("com_pump=1\r\ncom_valve=2\r\n");
        auto program = start();
        ASSERT_TRUE(program->started());
        // Under way: woken, and the initialisation has begun.
        ASSERT_TRUE(wait_until([&] { return pump_.received_lines().size() >= 3; },
                               std::chrono::seconds(60)));
        program->signal(k.signal);
        const std::optional<int> code = program->wait_exit(std::chrono::seconds(30));
        ASSERT_TRUE(code.has_value());
        EXPECT_EQ(*code == 0, k.clean) << *code;
        const std::string bytes = pump_.received_bytes();
        ASSERT_FALSE(bytes.empty());
        EXPECT_EQ(bytes.back(), '\x1b');
        EXPECT_EQ(std::count(bytes.begin(), bytes.end(), '\x1b'), 1);
        EXPECT_EQ(read_setup().rfind("com_pump=1\r\ncom_valve=2\r\ngearbox=0\r\n", 0) == 0,
                  k.settings_saved)
            << read_setup();
    }
}

// The display going away (an X server that dies, a remote session dropped) ends the
// program inside the windowing toolkit; the shutdown runs all the same.
TEST_F(ProgramE2e, LosingTheDisplayStopsThePump) {
    if (::system("command -v Xvfb >/dev/null 2>&1") != 0) GTEST_SKIP() << "no Xvfb";
    // A display number no server holds and none left behind: a killed server keeps its lock
    // and socket, and a stale socket would look like ours.
    int display = 70 + ::getpid() % 200;
    const auto lock = [](int d) { return "/tmp/.X" + std::to_string(d) + "-lock"; };
    const auto socket_of = [](int d) { return "/tmp/.X11-unix/X" + std::to_string(d); };
    while (fs::exists(lock(display)) || fs::exists(socket_of(display))) ++display;
    const std::string socket = socket_of(display);
    // The server this test kills leaves them; they are removed however the test ends.
    struct Leftovers {
        std::string lock, socket;
        ~Leftovers() {
            std::error_code ec;
            fs::remove(lock, ec);
            fs::remove(socket, ec);
        }
    } leftovers{lock(display), socket};
    ChildProcess xvfb(
        "/usr/bin/Xvfb",
        {":" + std::to_string(display), "-nolisten", "tcp", "-screen", "0", "1024x768x24"},
        dir_.string(), {});
    ASSERT_TRUE(wait_until([&] { return fs::exists(socket); }, std::chrono::seconds(20)));
    write_setup("com_pump=1\r\ncom_valve=2\r\n");
    auto program =
        start({}, {{"QT_QPA_PLATFORM", "xcb"}, {"DISPLAY", ":" + std::to_string(display)}});
    ASSERT_TRUE(
        wait_until([&] { return pump_.received_lines().size() >= 3; }, std::chrono::seconds(60)));
    xvfb.signal(SIGKILL);
    ASSERT_TRUE(program->wait_exit(std::chrono::seconds(30)).has_value());
    const std::string bytes = pump_.received_bytes();
    ASSERT_FALSE(bytes.empty());
    EXPECT_EQ(bytes.back(), '\x1b');
    EXPECT_EQ(read_setup().rfind("com_pump=1\r\ncom_valve=2\r\ngearbox=0\r\n", 0), 0u)
        << read_setup();
}

// An adapter unplugged for one start is still the valve's port at the next.
TEST_F(ProgramE2e, APortThatCannotBeOpenedStaysInSetup) {
    write_setup("com_pump=1\r\ncom_valve=2\r\n");
    auto program = start((dir_ / "no-such-device").string());
    ASSERT_TRUE(program->started());
    // The valve's message waits for the operator; a SIGTERM ends the program all the same.
    ASSERT_TRUE(wait_until([&] { return program->catches(SIGTERM); }, std::chrono::seconds(60)));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ASSERT_TRUE(program->running());
    program->signal(SIGTERM);
    ASSERT_EQ(program->wait_exit(std::chrono::seconds(30)), 0);
    const std::string setup = read_setup();
    EXPECT_EQ(setup.rfind("com_pump=1\r\ncom_valve=2\r\ngearbox=", 0), 0u) << setup;
}

// The command line's own answers: printed, and the program ends at once. It opens no window
// (there is no display: a window would end it with an error), no port (COM1 and COM2 are
// pseudo-terminals that would hear the start-up's carriage returns), no lock and no
// setup.txt.
class CommandLineE2e : public ProgramE2e {
  protected:
    struct Outcome {
        std::optional<int> code;
        std::string out;
        std::string err;
    };
    Outcome run(const std::vector<std::string>& args,
                const std::map<std::string, std::string>& display = {}) {
        write_setup(kSetup);
        const fs::path out = dir_ / "stdout", err = dir_ / "stderr";
        const int out_fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        const int err_fd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        EXPECT_GE(out_fd, 0);
        EXPECT_GE(err_fd, 0);
        Outcome o;
        std::map<std::string, std::string> env{{"QT_QPA_PLATFORM", ""},
                                               {"DISPLAY", ""},
                                               {"WAYLAND_DISPLAY", ""},
                                               {"XDG_SESSION_TYPE", ""},
                                               {"XDG_RUNTIME_DIR", (dir_ / "runtime").string()},
                                               {"QUORVEL_COM1", pump_.device_path()},
                                               {"QUORVEL_COM2", valve_.device_path()}};
        for (const auto& [k, v] : display) env[k] = v;
        {
            ChildProcess program(QUORVEL_BINARY, args, dir_.string(), env, {-1, out_fd, err_fd});
            ::close(out_fd);
            ::close(err_fd);
            EXPECT_TRUE(program.started());
            o.code = program.wait_exit(std::chrono::seconds(30));
        }
        o.out = read_file(out);
        o.err = read_file(err);
        return o;
    }
    static std::string read_file(const fs::path& p) {
        std::ifstream in(p, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    // A probe line written to each device once the program has ended: whatever the program
    // sent would have arrived before it.
    static void expect_only_probe(sim::PtyDevice& device) {
        const int fd = ::open(device.device_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, "probe\r", 6), 6);
        ::close(fd);
        ASSERT_TRUE(wait_until([&] { return !device.received_lines().empty(); }));
        EXPECT_EQ(device.received_bytes(), "probe\r");
    }
    void expect_nothing_touched() {
        expect_only_probe(pump_);
        expect_only_probe(valve_);
        EXPECT_EQ(read_setup(), kSetup);
        EXPECT_TRUE(fs::is_empty(dir_ / "runtime"));
    }
    static constexpr const char* kSetup = "com_pump=1\r\ncom_valve=2\r\n";
};

TEST_F(CommandLineE2e, HelpPrintsTheUsage) {
    const Outcome o = run({"--help"});
    EXPECT_EQ(o.code, 0);
    EXPECT_EQ(o.out.rfind("usage: quorvel [--simulate] [METHOD.pmf]\n", 0), 0u) << o.out;
    EXPECT_NE(o.out.find("--version"), std::string::npos) << o.out;
    EXPECT_EQ(o.err, "");
    expect_nothing_touched();
}

TEST_F(CommandLineE2e, VersionPrintsTheVersion) {
    const Outcome o = run({"--version"});
    EXPECT_EQ(o.code, 0);
    EXPECT_EQ(o.out, "quorvel " QUORVEL_VERSION "\n");
    EXPECT_EQ(o.err, "");
    expect_nothing_touched();
}

TEST_F(CommandLineE2e, UnknownOptionIsAUsageError) {
    const Outcome o = run({"--frobnicate", "method.pmf"});
    EXPECT_EQ(o.code, 2);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err.rfind("quorvel: unknown option '--frobnicate'\nusage: quorvel ", 0), 0u)
        << o.err;
    expect_nothing_touched();
}

// Without a display the program says why and where to turn, before it touches anything;
// "--" ends the options as for quorvel-run.
TEST_F(CommandLineE2e, WithoutADisplayItSaysWhyAndEndsWithOne) {
    const std::string no_x = ":" + std::to_string(7000 + ::getpid() % 1000);  // no server
    const std::string hint =
        "\nTo run a method without windows, use quorvel-run (see quorvel-run --help).\n";
    const struct {
        std::vector<std::string> args;
        std::map<std::string, std::string> display;
        int code;
        std::string err;
    } cases[] = {
        {{}, {}, 1, "neither DISPLAY nor WAYLAND_DISPLAY is set"},
        {{"--", "-odd.pmf"}, {}, 1, "neither DISPLAY nor WAYLAND_DISPLAY is set"},
        {{},
         {{"DISPLAY", no_x}},
         1,
         "DISPLAY is \"" + no_x + "\", where no X server answers (No such file or directory)"},
        {{}, {{"QT_QPA_PLATFORM", "xcb"}}, 1, "DISPLAY is not set"},
        {{},
         {{"WAYLAND_DISPLAY", "wayland-none"}},
         1,
         "WAYLAND_DISPLAY is \"wayland-none\", and no Wayland compositor answers at " +
             (dir_ / "runtime" / "wayland-none").string() +
             " (No such file or directory); DISPLAY is not set"},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.err);
        pump_.clear_received();
        valve_.clear_received();
        const Outcome o = run(k.args, k.display);
        EXPECT_EQ(o.code, k.code);
        EXPECT_EQ(o.out, "");
        EXPECT_EQ(o.err, "quorvel: cannot open the display: " + k.err + hint);
        expect_nothing_touched();
    }
    const Outcome two = run({"--", "a.pmf", "b.pmf"});
    EXPECT_EQ(two.code, 2);
    EXPECT_EQ(two.err.rfind("quorvel: only one method file can be opened\n", 0), 0u) << two.err;
}

TEST_F(ProgramE2e, SecondInstanceExitsZeroAndTheFirstRunsOn) {
    write_setup("com_pump=1\r\n");
    auto first = start();
    ASSERT_TRUE(
        wait_until([&] { return pump_.received_lines().size() >= 3; }, std::chrono::seconds(60)));
    auto second = start();
    EXPECT_EQ(second->wait_exit(std::chrono::seconds(30)), 0);
    EXPECT_TRUE(first->running());
    first->signal(SIGTERM);
    EXPECT_EQ(first->wait_exit(std::chrono::seconds(30)), 0);
}

// A method double-clicked during the start-up goes through the running copy's socket and
// opens once the initialisation is over, in place of the Test window (or, when it comes after
// that window opened, in its place: Test's Quit stops the pump first). Opening it resets the
// run, which stops the pump.
TEST_F(ProgramE2e, AHandedOverMethodOpensInTheRunningCopy) {
    write_setup("com_pump=1\r\n");
    std::ofstream(dir_ / "b.pmf", std::ios::binary)
        << ";...Tamsel pump method file...Do not edit!...\r\nDispense|1.0000|60.00|0|false\r\n";
    auto first = start();
    ASSERT_TRUE(
        wait_until([&] { return pump_.received_lines().size() >= 3; }, std::chrono::seconds(60)));
    auto second = start({}, {}, {(dir_ / "b.pmf").string()});
    EXPECT_EQ(second->wait_exit(std::chrono::seconds(30)), 0);
    auto after_initialisation = [&] {
        const auto lines = pump_.received_lines();
        auto munit = std::find_if(lines.begin(), lines.end(),
                                  [](const std::string& l) { return l.starts_with("MUNIT="); });
        return munit == lines.end() ? std::vector<std::string>{}
                                    : std::vector<std::string>(munit + 1, lines.end());
    };
    ASSERT_TRUE(
        wait_until([&] { return !after_initialisation().empty(); }, std::chrono::seconds(60)));
    for (const std::string& line : after_initialisation()) EXPECT_EQ(line, "SSTP");
    first->signal(SIGTERM);
    EXPECT_EQ(first->wait_exit(std::chrono::seconds(30)), 0);
}

}  // namespace
}  // namespace quorvel
