// Talks to the simulated devices through their slave paths, as the program does.

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sim_device.h"

namespace quorvel::sim {
namespace {

using namespace std::string_literals;
using Clock = std::chrono::steady_clock;
constexpr double kFast = 0.01;  // a pump move of 1 s takes 10 ms

// Polls cond until it holds or a generous deadline passes.
bool eventually(const std::function<bool()>& cond, double seconds = 5.0) {
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return cond();
}

// Waits until the device has finished handling its first n lines: only then may a test
// flip a fault switch without racing the answer to an earlier line.
bool handled(const PtyDevice& device, std::size_t n) {
    return eventually([&] { return device.lines_handled() >= n; });
}

// How often the named thread of this process has gone to sleep so far (voluntary context
// switches): a thread that sleeps through a stretch adds at most the one sleep it began.
std::optional<long> sleeps_of(const std::string& thread_name) {
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        if (!std::getline(comm, name) || name != thread_name) continue;
        std::ifstream status(task.path() / "status");
        const std::string key = "voluntary_ctxt_switches:";
        for (std::string line; std::getline(status, line);) {
            if (line.starts_with(key)) return std::stol(line.substr(key.size()));
        }
    }
    return std::nullopt;
}

// The program's end of the line: slave opened raw and non-blocking, locked like the program.
class Port {
  public:
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;
    explicit Port(const std::string& path) {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0) return;
        locked_ = ::flock(fd_, LOCK_EX | LOCK_NB) == 0 && ::ioctl(fd_, TIOCEXCL) == 0;
        termios tio{};
        tcgetattr(fd_, &tio);
        cfmakeraw(&tio);
        tcsetattr(fd_, TCSANOW, &tio);
    }
    ~Port() {
        if (fd_ >= 0) {
            ::ioctl(fd_, TIOCNXCL);
            ::close(fd_);
        }
    }
    bool ok() const { return fd_ >= 0 && locked_; }
    void send(const std::string& bytes) {
        ASSERT_EQ(::write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Reads what has arrived; false once the other side is gone (EIO or end of file).
    bool pump_input() {
        char buf[256];
        for (;;) {
            const ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n > 0) {
                got_.append(buf, static_cast<std::size_t>(n));
                continue;
            }
            return n < 0 && errno == EAGAIN;
        }
    }
    // Waits for n bytes and removes them from what was received.
    std::string take(std::size_t n) {
        eventually([&] { return !pump_input() || got_.size() >= n; });
        std::string head = got_.substr(0, n);
        got_.erase(0, head.size());
        return head;
    }
    // Sends a line and returns exactly as many bytes as the expected answer has.
    std::string ask(const std::string& line, const std::string& expected) {
        send(line + "\r");
        return take(expected.size());
    }

  private:
    int fd_ = -1;
    bool locked_ = false;
    std::string got_;
};

struct Exchange {
    std::string line;
    std::string answer;
};

// A started device with the program's end of its line open.
template <class Device>
class Connected : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(device.start());
        port.emplace(device.device_path());
        ASSERT_TRUE(port->ok());
    }
    Device device{kFast};
    std::optional<Port> port;
};
using SimPumpTest = Connected<SimPump>;
using SimValveTest = Connected<SimValve>;

// Answers arrive in order, so a stray or doubled answer to anything before a final
// exchange shows up in front of that exchange's answer.
void run_exchanges(Port& port, const std::vector<Exchange>& exchanges) {
    for (const auto& [line, expected] : exchanges) {
        EXPECT_EQ(port.ask(line, expected), expected) << "after line '" << line << "'";
    }
}

TEST_F(SimPumpTest, EveryLineGetsExactlyOneAnswer) {
    // clang-format off
    const std::vector<Exchange> table = {
        {"VM=5", ">"}, {"  vm = 2.5  ", ">"}, {"", ">"}, {"MSEL=256.00000000", ">"},
        {"msel=256", ">"}, {"MUNIT=2432.00000000", ">"}, {"echo 1=0", ">"}, {"echo 2=0", ">"},
        {"pos=0", ">"}, {"blm=1", ">"}, {"ios 21 = 18,1,0", ">"}, {"BLE=1", ">"},
        {"BLSH=2.5", ">"}, {"SAVE", ">"}, {"nonsense", "?"}, {"VM=abc", "?"}, {"VM=", "?"},
        {"run 200", "?"}, {"Pgm", "?"}, {"VM=0", ">"}, {"MOVR=10", "?"},
        {"VM=100\n", ">"},  // LF is dropped, neither in the line nor ending one
    };
    // clang-format on
    run_exchanges(*port, table);
    run_exchanges(*port, {{"vm=40", ">"}});
    EXPECT_EQ(device.velocity(), 40.0);
    EXPECT_EQ(device.msel(), 256.0);
    EXPECT_EQ(device.munit(), 2432.0);
    EXPECT_TRUE(device.backlash_enabled());
    EXPECT_EQ(device.backlash(), 2.5);
    EXPECT_TRUE(device.saved());
    EXPECT_EQ(device.moves_started(), 0);
    EXPECT_TRUE(handled(device, table.size() + 1));
    EXPECT_EQ(device.lines_handled(), table.size() + 1) << "only CR ends a line";
    const auto lines = device.received_lines();
    ASSERT_EQ(lines.size(), table.size() + 1);
    EXPECT_EQ(lines[1], "  vm = 2.5  ");
    EXPECT_EQ(lines[table.size() - 1], "VM=100");
    EXPECT_NE(device.received_bytes().find("VM=100\n\r"), std::string::npos);
}

TEST_F(SimPumpTest, ReportsBacklashSettings) {
    const struct {
        bool enabled;
        double amount;
        const char* ble;
        const char* blsh;
    } table[] = {{true, 1.0, "ble=1\r\n", "blsh=1\r\n"},
                 {false, 2.5, "ble=0\r\n", "blsh=2.5\r\n"},
                 {true, 0.125, "ble=1\r\n", "blsh=0.125\r\n"}};
    for (const auto& row : table) {
        device.set_backlash(row.enabled, row.amount);
        run_exchanges(*port, {{"print \"ble=\",ble", row.ble}, {"PRINT \"BLSH=\",BLSH", row.blsh}});
    }
    run_exchanges(*port, {{"BLE=0", ">"},
                          {"BLSH=3", ">"},
                          {"print \"ble=\",ble", "ble=0\r\n"},
                          {"print \"blsh=\",blsh", "blsh=3\r\n"}});
}

// clang-format off
const std::vector<Exchange> kMonitorProgram = {
    {"Pgm 200", ">"}, {"VAR oldmvg=28", ">"}, {"LBL loop1", ">"}, {"BR loop1, mvg=oldmvg", ">"},
    {"oldmvg=mvg", ">"}, {"BR ismove, oldmvg=1", ">"}, {"PRINT \"|\"", ">"}, {"BR loop1", ">"},
    {"LBL ismove", ">"}, {"PRINT \"~\"", ">"}, {"BR loop1", ">"}, {"END", ">"}, {"Pgm", ">"},
    {"run 200", ">"},
};
// clang-format on

TEST_F(SimPumpTest, ReportsMotionOnlyWhileTheMonitorRuns) {
    run_exchanges(*port, {{"run 200", "?"}, {"VM=100", ">"}, {"MOVR=-50", ">"}});
    EXPECT_TRUE(eventually([&] { return device.moves_started() == 1 && !device.moving(); }));
    run_exchanges(*port, kMonitorProgram);  // an unreported '~' or '|' would precede these
    EXPECT_TRUE(device.monitor_running());

    run_exchanges(*port, {{"MOVR=50", ">~\r\n"}});
    EXPECT_EQ(port->take(3), "|\r\n");
    EXPECT_FALSE(device.moving());

    // A move while slewing is no new start (and lasts 10 s here, so SSTP ends it);
    // SSTP after SLEW=0 has nothing to stop.
    run_exchanges(*port, {{"SLEW=5", ">~\r\n"},
                          {"MOVR=100000", ">"},
                          {"SSTP", ">|\r\n"},
                          {"SLEW=-5", ">~\r\n"},
                          {"SLEW=0", ">|\r\n"},
                          {"SSTP", ">"}});
    EXPECT_EQ(device.moves_started(), 5);
}

TEST_F(SimPumpTest, EscapeStopsMotionAndMonitorSilently) {
    run_exchanges(*port, kMonitorProgram);
    run_exchanges(*port, {{"SLEW=5", ">~\r\n"}});
    port->send("\x1b");
    EXPECT_TRUE(eventually([&] { return !device.monitor_running() && !device.moving(); }));
    // No '|' for the aborted motion, and nothing reported for later motion.
    run_exchanges(*port, {{"MOVR=1", ">"}});
    EXPECT_TRUE(eventually([&] { return !device.moving(); }));
    run_exchanges(*port, {{"VM=1", ">"}, {"run 200", ">"}});  // the program is still loaded
    EXPECT_TRUE(device.monitor_running());
}

TEST_F(SimValveTest, AnswersPositionAfterTheMove) {
    // Sent in one write so that the position queries reach the valve while it moves.
    const std::vector<std::pair<std::string, std::string>> table = {
        {"go7\rcp\rcp\r", "pos=7\r\npos=7\r\n"},
        {"GOB\rcp\r", "pos=2\r\n"},
        {"cw12\rCP\r", "pos=12\r\n"},
        {"cc99\r\ncp\r", "pos=99\r\n"},
        {"goA\rgo5\rcp\r", "pos=5\r\n"},
        {"go0\r", "err\r\n"},
        {"go100\r", "err\r\n"},
        {"bogus\r", "err\r\n"},
        {"\rcp\r", "pos=5\r\n"},
    };
    for (const auto& [bytes, expected] : table) {
        port->send(bytes);
        EXPECT_EQ(port->take(expected.size()), expected) << "after '" << bytes << "'";
    }
    EXPECT_EQ(device.position(), 5);
    EXPECT_EQ(device.moves_started(), 6);
}

TEST_F(SimPumpTest, FaultSwitchesChangeTheAnswers) {
    device.faults().silent = true;
    port->send("VM=3\r");
    ASSERT_TRUE(handled(device, 1));
    EXPECT_EQ(device.velocity(), 3.0);
    device.faults().silent = false;
    run_exchanges(*port, {{"VM=4", ">"}});  // a late answer to VM=3 would come first

    ASSERT_TRUE(handled(device, 2));
    device.faults().nul_bytes = true;
    run_exchanges(*port, {{"VM=1", ">\0"s}, {"print \"ble=\",ble", "b\0l\0e\0=\0000\0\r\0\n\0"s}});
    ASSERT_TRUE(handled(device, 4));
    device.faults().nul_bytes = false;

    device.faults().garbage = true;
    for (int i = 0; i < 20; ++i) {
        port->send("VM=2\r");
        std::string burst;
        while (burst.empty() || burst.back() != '>') {
            const std::string c = port->take(1);
            ASSERT_EQ(c.size(), 1u) << "no prompt after " << burst;
            burst += c;
        }
        burst.pop_back();
        EXPECT_GE(burst.size(), 8u);
        EXPECT_LE(burst.size(), 32u);
        for (char c : burst) {
            EXPECT_TRUE(c >= 0x21 && c <= 0x7e && c != '?' && c != '|' && c != '~') << int(c);
        }
    }
}

TEST_F(SimValveTest, RawBytesAndLongLinesReachTheProgramUnchanged) {
    device.faults().nul_bytes = true;  // applies to answers only
    device.send_raw("x\0\r\n\xff"s);
    EXPECT_EQ(port->take(5), "x\0\r\n\xff"s);
    device.send_long_line(60);
    const std::string line = port->take(62);
    EXPECT_EQ(line.substr(0, 3), "ABC");
    EXPECT_EQ(line.substr(25, 3), "ZAB");
    EXPECT_EQ(line.substr(58), "GH\r\n");
}

TEST(SimDevice, SurvivesTheProgramReopeningThePort) {
    SimPump pump(kFast);
    ASSERT_TRUE(pump.start());
    for (int round = 0; round < 3; ++round) {
        Port port(pump.device_path());
        ASSERT_TRUE(port.ok()) << "round " << round;
        run_exchanges(port, {{"VM=" + std::to_string(round + 1), ">"}});
    }
    EXPECT_EQ(pump.velocity(), 3.0);
}

// No state, however long it lasts, keeps the worker waking up before something is due: it
// sleeps until a byte comes or the motion or move ends.
TEST(SimDevice, SleepsUntilSomethingIsDue) {
    SimPump pump(kFast);
    SimValve valve(1.0);  // its moves take half a second
    ASSERT_TRUE(pump.start());
    ASSERT_TRUE(valve.start());
    Port pump_port(pump.device_path());
    Port valve_port(valve.device_path());
    ASSERT_TRUE(pump_port.ok() && valve_port.ok());

    const struct {
        const char* state;
        Port& port;
        const char* line;
        const char* answer;
        const PtyDevice& device;
        const char* thread;
    } table[] = {
        {"pump standing", pump_port, "VM=1", ">", pump, "sim-pump"},
        {"pump slewing", pump_port, "SLEW=5", ">", pump, "sim-pump"},
        {"pump in a 1 s move", pump_port, "MOVR=100", ">", pump, "sim-pump"},
        {"valve standing", valve_port, "cp", "pos=1\r\n", valve, "sim-valve"},
        {"valve moving", valve_port, "go3", "", valve, "sim-valve"},
    };
    std::map<const PtyDevice*, std::size_t> lines_sent;
    for (const auto& row : table) {
        EXPECT_EQ(row.port.ask(row.line, row.answer), row.answer) << row.state;
        ASSERT_TRUE(handled(row.device, ++lines_sent[&row.device])) << row.state;
        const auto before = sleeps_of(row.thread);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const auto after = sleeps_of(row.thread);
        ASSERT_TRUE(before && after) << "no thread named " << row.thread;
        EXPECT_LE(*after - *before, 1) << row.state;
    }
    // Both timed ends still come by themselves.
    EXPECT_TRUE(eventually([&] { return !pump.moving() && valve.position() == 3; }));
    EXPECT_EQ(pump.moves_started(), 2);
}

TEST_F(SimPumpTest, HangUpClosesTheLine) {
    run_exchanges(*port, {{"VM=2", ">"}});
    device.hang_up();
    EXPECT_TRUE(device.hung_up());
    EXPECT_TRUE(eventually([&] { return !port->pump_input(); }));
    device.send_raw("late");  // dropped, not a crash
    device.send_long_line(10);
    device.stop();
    device.stop();
}

TEST_F(SimPumpTest, HangUpWhileAWriterIsStuckOnAFullLine) {
    // Nobody reads the port, so the writer soon blocks with the pty full, and the
    // worker blocks behind it answering the line sent below.
    std::thread writer([&] {
        while (!device.hung_up()) device.send_long_line(1000);
    });
    std::thread observer([&] {
        while (!device.hung_up()) (void)device.received_lines();
    });
    port->send("VM=9\r");
    EXPECT_TRUE(eventually([&] { return device.velocity() == 9.0; }));
    std::thread([&] { device.hang_up(); }).join();
    writer.join();
    observer.join();
    EXPECT_TRUE(device.hung_up());
    EXPECT_TRUE(eventually([&] { return !port->pump_input(); }));
}

}  // namespace
}  // namespace quorvel::sim
