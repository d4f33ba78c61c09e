// quorvel-run, started as a separate process in a temporary folder, against the simulated
// devices on pseudo-terminals (or its own built-in ones with --simulate), its standard
// input, output and error on pipes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <variant>
#include <vector>

#include "child_process.h"
#include "e2e_fixture.h"
#include "sim_device.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::ChildProcess;
using testing::ChildStdio;
using testing::wait_until;

// --- a strict reader for one flat JSON object -------------------------------------------

using JsonScalar = std::variant<std::nullptr_t, bool, double, std::string>;
using JsonObject = std::map<std::string, JsonScalar>;

// The members, when the whole text is exactly one JSON object (RFC 8259) whose values are
// strings, numbers, true, false or null.
class JsonReader {
  public:
    static std::optional<JsonObject> object(std::string_view text) {
        JsonReader r(text);
        JsonObject o;
        if (!r.eat('{')) return std::nullopt;
        if (!r.eat('}')) {
            do {
                std::string key;
                JsonScalar value;
                r.ws();
                if (!r.string(&key) || !r.eat(':') || !r.value(&value)) return std::nullopt;
                if (!o.emplace(key, value).second) return std::nullopt;  // a key given twice
            } while (r.eat(','));
            if (!r.eat('}')) return std::nullopt;
        }
        r.ws();
        if (r.i_ != r.s_.size()) return std::nullopt;
        return o;
    }

  private:
    explicit JsonReader(std::string_view s) : s_(s) {}

    void ws() {
        while (i_ < s_.size() && std::string_view(" \t\n\r").find(s_[i_]) != std::string_view::npos)
            ++i_;
    }
    bool at(char c) const { return i_ < s_.size() && s_[i_] == c; }
    bool eat(char c) {
        ws();
        if (!at(c)) return false;
        ++i_;
        return true;
    }
    bool digits() {
        const std::size_t from = i_;
        while (i_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[i_]))) ++i_;
        return i_ > from;
    }
    bool number(double* out) {
        const std::size_t from = i_;
        if (at('-')) ++i_;
        if (at('0')) {
            ++i_;
        } else if (!digits()) {
            return false;
        }
        if (at('.') && (++i_, !digits())) return false;
        if (at('e') || at('E')) {
            ++i_;
            if (at('+') || at('-')) ++i_;
            if (!digits()) return false;
        }
        return std::from_chars(s_.data() + from, s_.data() + i_, *out).ec == std::errc();
    }
    bool string(std::string* out) {
        if (!at('"')) return false;
        for (++i_; i_ < s_.size();) {
            const char c = s_[i_++];
            if (c == '"') return true;
            if (static_cast<unsigned char>(c) < 0x20) return false;
            if (c == '\\') {
                if (i_ >= s_.size() ||
                    std::string_view("\"\\/bfnrt").find(s_[i_]) == std::string_view::npos)
                    return false;  // \u escapes never occur in these lines
                out->push_back(s_[i_++]);
            } else {
                out->push_back(c);
            }
        }
        return false;
    }
    bool value(JsonScalar* out) {
        ws();
        for (const auto& [word, v] : {std::pair<std::string_view, JsonScalar>{"true", true},
                                      {"false", false},
                                      {"null", nullptr}}) {
            if (s_.substr(i_, word.size()) == word) {
                i_ += word.size();
                *out = v;
                return true;
            }
        }
        if (at('"')) {
            std::string text;
            if (!string(&text)) return false;
            *out = text;
            return true;
        }
        double d = 0;
        if (!number(&d)) return false;
        *out = d;
        return true;
    }

    std::string_view s_;
    std::size_t i_ = 0;
};

TEST(JsonReaderTest, TellsJsonFromNearMisses) {
    const struct {
        const char* text;
        bool valid;
    } cases[] = {
        {R"({"a":1,"b":-0.5e+3,"c":"x\"y","d":null,"e":true,"f":false})", true},
        {"{}", true},
        {R"({"a":01})", false},        // leading zero
        {R"({"a":1.})", false},        // no digit after the point
        {R"({"a":100,0000})", false},  // a decimal comma
        {R"({"a":nan})", false},
        {R"({"a":1,})", false},
        {R"({"a":1,"a":2})", false},
        {"{\"a\":\"tab\tinside\"}", false},
        {R"({"a":1} x)", false},
        {R"({a:1})", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(JsonReader::object(c.text).has_value(), c.valid) << c.text;
    }
}

// --- the program as a child process -----------------------------------------------------

// What the child writes to one pipe, by line, with the time each line arrived.
class CapturedOutput {
  public:
    CapturedOutput() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) == 0) {
            read_fd_ = fds[0];
            write_fd_ = fds[1];
        }
    }
    ~CapturedOutput() {
        close_child_end();
        if (reader_.joinable()) reader_.join();
        if (read_fd_ >= 0) ::close(read_fd_);
    }
    int child_end() const { return write_fd_; }
    // Once the child has its copy: the reader sees the end when the child's copy closes.
    void start() {
        close_child_end();
        reader_ = std::thread([this] {
            char buf[4096];
            ssize_t n;
            while ((n = ::read(read_fd_, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)) {
                std::lock_guard lock(mutex_);
                for (ssize_t k = 0; k < n; ++k) {
                    if (buf[k] == '\n') {
                        lines_.push_back(partial_);
                        times_.push_back(Clock::now());
                        partial_.clear();
                    } else {
                        partial_.push_back(buf[k]);
                    }
                }
                text_.append(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
            }
            closed_.store(true);
        });
    }
    // True once the child's end has closed and everything it wrote has been read.
    bool wait_closed(std::chrono::milliseconds limit = 10s) const {
        return wait_until([&] { return closed_.load(); }, limit);
    }
    std::vector<std::string> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    std::vector<Clock::time_point> times() const {
        std::lock_guard lock(mutex_);
        return times_;
    }
    std::string text() const {
        std::lock_guard lock(mutex_);
        return text_;
    }
    bool wait_lines(std::size_t n, std::chrono::milliseconds limit = 60s) const {
        return wait_until([&] { return lines().size() >= n; }, limit);
    }
    bool wait_text(std::string_view part, std::chrono::milliseconds limit = 60s) const {
        return wait_until([&] { return text().find(part) != std::string::npos; }, limit);
    }

  private:
    void close_child_end() {
        if (write_fd_ >= 0) ::close(write_fd_);
        write_fd_ = -1;
    }

    int read_fd_ = -1;
    int write_fd_ = -1;
    std::thread reader_;
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
    std::vector<Clock::time_point> times_;
    std::string partial_;
    std::string text_;
    std::atomic<bool> closed_{false};
};

struct RunningProgram {
    ~RunningProgram() {
        child.reset();  // killed if still running, before the pipes' readers are joined
        close_input();
    }
    void press_enter() const { ASSERT_EQ(::write(input, "\n", 1), 1); }
    void close_input() {
        if (input >= 0) ::close(input);
        input = -1;
    }
    // The exit code, once the program has ended and all it wrote has been read.
    std::optional<int> wait_exit(std::chrono::milliseconds limit = 60s) {
        const std::optional<int> code = child->wait_exit(limit);
        if (code) {
            EXPECT_TRUE(out.wait_closed());
            EXPECT_TRUE(err.wait_closed());
        }
        return code;
    }

    CapturedOutput out;
    CapturedOutput err;
    int input = -1;
    std::unique_ptr<ChildProcess> child;
};

constexpr const char* kBothPorts = "com_pump=1\r\ncom_valve=2\r\npump=1\r\n";

class QuorvelRunE2e : public ::testing::Test {
  protected:
    void SetUp() override {
        ::signal(SIGPIPE, SIG_IGN);  // writing Enter to a program that has ended
        dir_ = fs::temp_directory_path() /
               ("quorvel-run-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        std::string error;
        ASSERT_TRUE(pump_.start(&error)) << error;
        ASSERT_TRUE(valve_.start(&error)) << error;
    }
    void TearDown() override { fs::remove_all(dir_); }

    void write_setup(const std::string& text) {
        std::ofstream(dir_ / "setup.txt", std::ios::binary) << text;
    }
    std::string read_setup() const {
        std::ifstream in(dir_ / "setup.txt", std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    std::string write_method(const std::string& name, const std::vector<std::string>& steps) {
        std::string text = ";...Tamsel pump method file...Do not edit!...\r\n";
        for (const std::string& s : steps) text += s + "\r\n";
        std::ofstream(dir_ / name, std::ios::binary) << text;
        return (dir_ / name).string();
    }
    std::unique_ptr<RunningProgram> start(const std::vector<std::string>& args,
                                          const std::map<std::string, std::string>& extra = {}) {
        auto p = std::make_unique<RunningProgram>();
        int in[2];
        if (::pipe2(in, O_CLOEXEC) != 0) return p;
        std::map<std::string, std::string> env{
            // A decimal comma must reach neither the controller nor the JSON.
            {"LC_ALL", "de_DE.UTF-8"},
            {"QUORVEL_COM1", pump_.device_path()},
            {"QUORVEL_COM2", valve_.device_path()}};
        for (const auto& [k, v] : extra) env[k] = v;
        p->child = std::make_unique<ChildProcess>(
            QUORVEL_RUN_BINARY, args, dir_.string(), env,
            ChildStdio{in[0], p->out.child_end(), p->err.child_end()});
        ::close(in[0]);
        p->input = in[1];
        p->out.start();
        p->err.start();
        return p;
    }
    int pump_lines_starting(std::string_view prefix) const {
        const auto lines = pump_.received_lines();
        return static_cast<int>(std::count_if(
            lines.begin(), lines.end(), [&](const auto& l) { return l.rfind(prefix, 0) == 0; }));
    }
    // The escape byte reached the pump once, as the last thing it heard.
    void expect_pump_stopped() const {
        const std::string bytes = pump_.received_bytes();
        ASSERT_FALSE(bytes.empty());
        EXPECT_EQ(bytes.back(), '\x1b');
        EXPECT_EQ(std::count(bytes.begin(), bytes.end(), '\x1b'), 1);
    }

    fs::path dir_;
    sim::SimPump pump_{0.05};
    sim::SimValve valve_{0.05};
};

// 50 uL at 600 uL/min: 5 s of motion, 0.25 s at the simulators' time scale.
constexpr const char* kShortAspirate = "Aspirate|50.0000|600.00";
constexpr const char* kShortDispense = "Dispense|50.0000|600.00";

TEST_F(QuorvelRunE2e, StepsRunInOrderAndEachWaitIsHonoured) {
    write_setup(kBothPorts);
    const std::string method = write_method(
        "three.pmf", {"Multi Valve|3|CW|1|false", std::string(kShortAspirate) + "|1|false",
                      std::string(kShortDispense) + "|1|false"});
    auto run = start({method});
    const std::optional<int> code = run->wait_exit();
    const Clock::time_point ended = Clock::now();
    ASSERT_EQ(code, 0) << run->err.text();

    EXPECT_EQ(run->out.lines(), (std::vector<std::string>{
                                    " 1   Multi Valve   pos.= 3      dir.= CW             1",
                                    " 2   Aspirate    50.0000         600.00              1",
                                    " 3   Dispense    50.0000         600.00              1",
                                }));
    // Each step starts after the previous one's move and its 1 s wait; the program ends
    // after the last one's.
    const auto t = run->out.times();
    ASSERT_EQ(t.size(), 3u);
    EXPECT_GE(t[1] - t[0], 1s);
    EXPECT_GE(t[2] - t[1], 1s);
    EXPECT_GE(ended - t[2], 1s);

    EXPECT_EQ(valve_.received_lines(), (std::vector<std::string>{"", "cw3", "cp"}));
    // After the initialisation and the calibration: the rewind's SSTP, both moves, and
    // the SSTP of the end.
    auto lines = pump_.received_lines();
    const auto munit = std::find_if(lines.begin(), lines.end(),
                                    [](const std::string& l) { return l.rfind("MUNIT=", 0) == 0; });
    ASSERT_NE(munit, lines.end());
    EXPECT_EQ(std::vector<std::string>(munit + 1, lines.end()),
              (std::vector<std::string>{"SSTP", "VM=10.00000000", "MOVR=-50.00000000",
                                        "VM=10.00000000", "MOVR=50.00000000", "SSTP"}));
    expect_pump_stopped();
}

// Step 2 waits for an event after step 1's motion and 2 s wait; a line on standard input
// releases it only while it waits, as the window's Event button does.
TEST_F(QuorvelRunE2e, EventStepWaitsForALineOnStandardInput) {
    const struct {
        const char* name;
        bool press_during_step_one;  // lost: nothing waits for it yet
        bool end_input;              // instead of pressing Enter while step 2 waits
        int code;
        int steps_started;
    } cases[] = {
        {"released by Enter", false, false, 0, 2},
        {"an early press is lost", true, false, 0, 2},
        {"input ends while it waits", false, true, 1, 1},
    };
    write_setup(kBothPorts);
    const std::string method = write_method("event.pmf", {std::string(kShortAspirate) + "|2|false",
                                                          std::string(kShortDispense) + "|0|true"});
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        pump_.clear_received();
        auto run = start({method});
        ASSERT_TRUE(run->out.wait_lines(1)) << run->err.text();
        if (k.press_during_step_one) run->press_enter();
        ASSERT_TRUE(run->err.wait_text("step 2 waits for an event")) << run->err.text();
        // Some passes, in which an early press would have released it.
        std::this_thread::sleep_for(300ms);
        EXPECT_EQ(run->out.lines().size(), 1u);
        EXPECT_EQ(pump_lines_starting("MOVR="), 1);

        if (k.end_input) {
            run->close_input();
        } else {
            run->press_enter();
        }
        ASSERT_EQ(run->wait_exit(), k.code) << run->err.text();
        EXPECT_EQ(run->out.lines().size(), static_cast<std::size_t>(k.steps_started));
        EXPECT_EQ(pump_lines_starting("MOVR="), k.steps_started);
        if (k.end_input) {
            EXPECT_NE(run->err.text().find("standard input has ended"), std::string::npos);
        }
        expect_pump_stopped();
    }
}

TEST_F(QuorvelRunE2e, AFailingPortOrDeviceEndsTheRunWithStatusOne) {
    const struct {
        const char* name;
        const char* setup;
        bool pump_silent;
        bool valve_silent;
        std::vector<std::string> options;
        std::string missing_valve;  // QUORVEL_COM2 when not empty
        std::vector<std::string> message;
    } cases[] = {
        {"silent pump while initialising",
         kBothPorts,
         true,
         false,
         {},
         {},
         {"no reply from the pump (COM1, ", " within 3 s while initialising"}},
        {"silent pump at the first command",
         kBothPorts,
         true,
         false,
         {"--no-init"},
         {},
         {"no reply from the pump (COM1, "}},
        {"silent valve",
         kBothPorts,
         false,
         true,
         {},
         {},
         {"no reply from the valve (COM2, ", " within 5 s"}},
        {"valve port missing",
         kBothPorts,
         false,
         false,
         {},
         "no-such-device",
         {"Cannot open valve serial port.", "no such device"}},
        {"no valve port named",
         "com_pump=1\r\n",
         false,
         false,
         {},
         {},
         {"step 1 needs the valve, but setup.txt names no valve port"}},
    };
    const std::string method =
        write_method("valve_then_pump.pmf",
                     {"Multi Valve|2|Short|0|false", std::string(kShortDispense) + "|0|false"});
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        write_setup(k.setup);
        pump_.clear_received();
        pump_.faults().silent = k.pump_silent;
        valve_.faults().silent = k.valve_silent;
        std::vector<std::string> args = k.options;
        args.push_back(method);
        std::map<std::string, std::string> env;
        if (!k.missing_valve.empty()) env["QUORVEL_COM2"] = (dir_ / k.missing_valve).string();
        auto run = start(args, env);
        ASSERT_EQ(run->wait_exit(), 1) << run->err.text();
        for (const std::string& part : k.message)
            EXPECT_NE(run->err.text().find(part), std::string::npos) << run->err.text();
        EXPECT_EQ(pump_lines_starting("MOVR="), 0);
        expect_pump_stopped();
    }
}

TEST_F(QuorvelRunE2e, AStopSignalMidMoveSendsTheEscapeByte) {
    const struct {
        int signal;
        int code;
    } cases[] = {{SIGINT, 130}, {SIGTERM, 143}, {SIGHUP, 129}};
    write_setup(kBothPorts);
    // 1000 s of motion, 50 s at the simulators' time scale.
    const std::string method = write_method("long.pmf", {"Dispense|100.0000|6.00|0|false"});
    for (const auto& k : cases) {
        SCOPED_TRACE(k.signal);
        pump_.clear_received();
        auto run = start({method});
        ASSERT_TRUE(wait_until([&] { return pump_.moving(); }, 60s)) << run->err.text();
        run->child->signal(k.signal);
        ASSERT_EQ(run->wait_exit(), k.code) << run->err.text();
        expect_pump_stopped();
        EXPECT_TRUE(wait_until([&] { return !pump_.moving(); }, 5s));
        EXPECT_EQ(read_setup().rfind("com_pump=1\r\ncom_valve=2\r\n", 0), 0u) << read_setup();
    }
}

// Everything that needs no device ends before a port is opened, and leaves setup.txt alone.
TEST_F(QuorvelRunE2e, ListingAndRefusalsTouchNoPort) {
    write_setup(kBothPorts);
    const std::string method = write_method(
        "list.pmf", {"Multi Valve|3|CW|0|false", "Aspirate|100.0000|50.00|2|false",
                     "2 Pos.Valve|2|Short|0|false", "Dispense|100.0000|100.00|5|true"});
    const std::string empty = write_method("empty.pmf", {});
    const std::string missing = (dir_ / "missing.pmf").string();
    const struct {
        std::vector<std::string> args;
        int code;
        std::vector<std::string> out;  // the whole of standard output, by line
        std::string err_part;
    } cases[] = {
        {{"--list", method},
         0,
         {" 1   Multi Valve   pos.= 3      dir.= CW",
          " 2   Aspirate   100.0000          50.00              2", " 3   2 Pos.Valve   pos.= B",
          " 4   Dispense   100.0000         100.00              5           Yes"},
         ""},
        {{"--list", "--json", method},
         0,
         {R"({"row":1,"action":"Multi Valve","volume":null,"rate":null,"position":3,"direction":"CW","wait":0,"event":false})",
          R"({"row":2,"action":"Aspirate","volume":100.0000,"rate":50.00,"position":null,"direction":null,"wait":2,"event":false})",
          R"({"row":3,"action":"2 Pos.Valve","volume":null,"rate":null,"position":2,"direction":"Short","wait":0,"event":false})",
          R"({"row":4,"action":"Dispense","volume":100.0000,"rate":100.00,"position":null,"direction":null,"wait":5,"event":true})"},
         ""},
        {{empty}, 2, {}, "empty.pmf: There was a problem with this file"},
        {{"--list", missing}, 2, {}, "missing.pmf: There was a problem with this file"},
        {{}, 2, {}, "no method file named"},
        {{"--fast", method}, 2, {}, "unknown option '--fast'"},
        {{method, method}, 2, {}, "only one method file"},
        {{"--time-scale", "0.1", method}, 2, {}, "--time-scale needs --simulate"},
        {{"--simulate", "--time-scale=fast", method}, 2, {}, "bad --time-scale value 'fast'"},
        {{"--version"}, 0, {"quorvel-run " QUORVEL_VERSION}, ""},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.args.empty() ? "(no arguments)" : k.args.front());
        auto run = start(k.args);
        ASSERT_EQ(run->wait_exit(), k.code) << run->err.text();
        EXPECT_EQ(run->out.lines(), k.out);
        EXPECT_NE(run->err.text().find(k.err_part), std::string::npos) << run->err.text();
        for (const std::string& line : run->out.lines()) {
            if (line.starts_with("{")) {
                EXPECT_TRUE(JsonReader::object(line)) << line;
            }
        }
    }
    EXPECT_EQ(pump_.received_bytes(), "");
    EXPECT_EQ(valve_.received_bytes(), "");
    EXPECT_EQ(read_setup(), kBothPorts);
}

// The built-in simulators, no setup.txt: the pump on COM1, the valve on COM2.
TEST_F(QuorvelRunE2e, JsonLinesFollowASimulatedRun) {
    const std::string method = write_method(
        "json.pmf", {"2 Pos.Valve|1|Short|1|false", std::string(kShortAspirate) + "|1|false",
                     "Multi Valve|5|CCW|0|false"});
    auto run = start({"--simulate", "--time-scale", "0.05", "--json", method});
    ASSERT_EQ(run->wait_exit(), 0) << run->err.text();
    // The decoded values, whatever the row's texts look like; "time" apart.
    const char* expected[] = {
        R"({"row":1,"action":"2 Pos.Valve","volume":null,"rate":null,"position":1,"direction":"Short","wait":1,"event":false})",
        R"({"row":2,"action":"Aspirate","volume":50,"rate":600,"position":null,"direction":null,"wait":1,"event":false})",
        R"({"row":3,"action":"Multi Valve","volume":null,"rate":null,"position":5,"direction":"CCW","wait":0,"event":false})",
    };
    const auto lines = run->out.lines();
    ASSERT_EQ(lines.size(), std::size(expected)) << run->out.text();
    std::vector<double> times;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::optional<JsonObject> step = JsonReader::object(lines[i]);
        ASSERT_TRUE(step) << lines[i];
        ASSERT_TRUE(std::holds_alternative<double>((*step)["time"])) << lines[i];
        times.push_back(std::get<double>((*step)["time"]));
        step->erase("time");
        EXPECT_EQ(*step, JsonReader::object(expected[i])) << lines[i];
    }
    // Each step starts after the previous one's 1 s wait.
    EXPECT_GE(times[1] - times[0], 1.0);
    EXPECT_GE(times[2] - times[1], 1.0);
    EXPECT_TRUE(fs::exists(dir_ / "setup.txt"));
}

TEST_F(QuorvelRunE2e, RepeatStartsTheOneRowAgainUntilInterrupted) {
    const std::string method = write_method("again.pmf", {"Dispense|10.0000|600.00|0|false"});
    auto run = start({"--simulate", "--time-scale=0.05", "--repeat", method});
    ASSERT_TRUE(run->out.wait_lines(3)) << run->err.text();
    run->child->signal(SIGTERM);
    ASSERT_EQ(run->wait_exit(), 143) << run->err.text();
    for (const std::string& line : run->out.lines())
        EXPECT_EQ(line, " 1   Dispense    10.0000         600.00");
}

}  // namespace
}  // namespace quorvel
