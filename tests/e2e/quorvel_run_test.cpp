// quorvel-run as a child process in a temporary folder, against simulated devices on
// pseudo-terminals (or its built-in ones with --simulate), its standard streams on pipes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "child_process.h"
#include "common/json_text.h"
#include "common/sha256.h"
#include "sim_device.h"
#include "wait_until.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::ChildProcess;
using testing::ChildStdio;
using testing::wait_until;

// A member's value: numbers decoded, so 50 and 50.0000 compare equal; others as their text.
using JsonValue = std::variant<double, std::string>;
using JsonObject = std::map<std::string, JsonValue>;

// The members when `text` is exactly one JSON object of scalar values under the strict
// grammar, which refuses a decimal comma, NaN or a leading zero; a repeated key too.
std::optional<JsonObject> json_object(const std::string& text) {
    static const std::string str = R"("(?:[^"\\\x00-\x1f]|\\["\\/bfnrt])*")";
    static const std::regex member(
        R"(\s*([{,])\s*()" + str + R"()\s*:\s*()" + str +
        R"(|-?(?:0|[1-9]\d*)(?:\.\d+)?(?:[eE][+-]?\d+)?|true|false|null)\s*)");
    static const std::regex close(R"(\}\s*)");
    JsonObject o;
    std::smatch m;
    for (auto at = text.cbegin();
         std::regex_search(at, text.cend(), m, member, std::regex_constants::match_continuous);
         at = m[0].second) {
        const std::string v = m[3];
        const bool number = v[0] == '-' || std::isdigit(static_cast<unsigned char>(v[0]));
        if (m[1] != (o.empty() ? "{" : ",") ||
            !o.emplace(m[2], number ? JsonValue(std::stod(v)) : JsonValue(v)).second)
            return std::nullopt;
        if (std::regex_match(m[0].second, text.cend(), close)) return o;
    }
    return std::nullopt;
}

// The records of a run, each line one strict JSON object; nothing when a line is not.
std::optional<std::vector<JsonObject>> json_records(const std::vector<std::string>& lines) {
    std::vector<JsonObject> out;
    for (const std::string& l : lines) {
        auto o = json_object(l);
        if (!o) return std::nullopt;
        out.push_back(std::move(*o));
    }
    return out;
}

// A member's value as written ("\"step\"", 3, null), or "-" when absent.
std::string member(const JsonObject& o, const std::string& name) {
    const auto it = o.find("\"" + name + "\"");
    if (it == o.end()) return "-";
    if (const double* d = std::get_if<double>(&it->second)) {
        std::ostringstream text;
        text << *d;
        return text.str();
    }
    return std::get<std::string>(it->second);
}

// "type member=value ...", for the members named that the record has.
std::string outline(const JsonObject& o, const std::vector<std::string>& names = {"row"}) {
    std::string out = member(o, "type");
    out = out.size() >= 2 ? out.substr(1, out.size() - 2) : out;
    for (const std::string& n : names) {
        if (const std::string v = member(o, n); v != "-") out += " " + n + "=" + v;
    }
    return out;
}

// One of the child's output pipes, read while it runs, with the time each line ended.
class Captured {
  public:
    Captured() {
        if (::pipe2(fds_, O_CLOEXEC) != 0) fds_[0] = fds_[1] = -1;
    }
    ~Captured() {
        if (fds_[1] >= 0) ::close(fds_[1]);
        join();
        if (fds_[0] >= 0) ::close(fds_[0]);
    }
    int child_end() const { return fds_[1]; }
    // Once the child has its copy: the reader ends when that one closes.
    void start() {
        ::close(std::exchange(fds_[1], -1));
        reader_ = std::thread([this] {
            char buf[4096];
            for (ssize_t n; (n = ::read(fds_[0], buf, sizeof buf)) != 0;) {
                if (n < 0 && errno == EINTR) continue;
                if (n < 0) break;
                std::lock_guard lock(mutex_);
                text_.append(buf, static_cast<std::size_t>(n));
                times_.insert(times_.end(), std::count(buf, buf + n, '\n'), Clock::now());
            }
        });
    }
    void join() {
        if (reader_.joinable()) reader_.join();
    }
    std::string text() const {
        std::lock_guard lock(mutex_);
        return text_;
    }
    std::vector<Clock::time_point> times() const {
        std::lock_guard lock(mutex_);
        return times_;
    }
    bool has(const std::string& part) const { return text().find(part) != std::string::npos; }
    std::vector<std::string> lines() const {
        std::vector<std::string> out;
        std::istringstream in(text());
        for (std::string line; std::getline(in, line);) out.push_back(line);
        return out;
    }

  private:
    int fds_[2];
    std::thread reader_;
    mutable std::mutex mutex_;
    std::string text_;
    std::vector<Clock::time_point> times_;
};

struct RunningProgram {
    ~RunningProgram() {
        child.reset();  // killed if still running, so that the readers can end
        close_input();
    }
    void press_enter() const { ASSERT_EQ(::write(input, "\n", 1), 1); }
    void close_input() { ::close(std::exchange(input, -1)); }
    // The exit code, once the program has ended and all it wrote has been read.
    std::optional<int> wait_exit() {
        const std::optional<int> code = child->wait_exit(60s);
        if (code) {
            out.join();
            err.join();
        }
        return code;
    }

    Captured out, err;
    int input = -1;
    std::unique_ptr<ChildProcess> child;
};

constexpr const char* kBothPorts = "com_pump=1\r\ncom_valve=2\r\npump=1\r\n";
// 50 uL at 600 uL/min: 5 s of motion, 0.25 s at the simulators' time scale.
const std::string kShortAspirate = "Aspirate|50.0000|600.00",
                  kShortDispense = "Dispense|50.0000|600.00";

class QuorvelRunE2e : public ::testing::Test {
  protected:
    void SetUp() override {
        ::signal(SIGPIPE, SIG_IGN);  // pressing Enter for a program that has ended
        std::string dir = fs::temp_directory_path() / "quorvel-run-XXXXXX";
        ASSERT_TRUE(::mkdtemp(dir.data()));
        dir_ = dir;
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
        std::ofstream file(dir_ / name, std::ios::binary);
        file << ";...Tamsel pump method file...Do not edit!...\r\n";
        for (const std::string& s : steps) file << s << "\r\n";
        return (dir_ / name).string();
    }
    // closed: the standard descriptors (0, 1, 2) the program starts without.
    std::unique_ptr<RunningProgram> start(const std::vector<std::string>& args,
                                          const std::map<std::string, std::string>& extra = {},
                                          const std::string& program = QUORVEL_RUN_BINARY,
                                          const std::vector<int>& closed = {}) {
        auto p = std::make_unique<RunningProgram>();
        int in[2];
        if (::pipe2(in, O_CLOEXEC) != 0) return p;
        // A decimal comma must reach neither the controller nor the JSON.
        std::map<std::string, std::string> env{{"LC_ALL", "de_DE.UTF-8"},
                                               {"QUORVEL_COM1", pump_.device_path()},
                                               {"QUORVEL_COM2", valve_.device_path()}};
        for (const auto& [k, v] : extra) env[k] = v;
        ChildStdio stdio{in[0], p->out.child_end(), p->err.child_end()};
        for (const int fd : closed)
            (fd == 0 ? stdio.in : fd == 1 ? stdio.out : stdio.err) = ChildStdio::kClosed;
        p->child = std::make_unique<ChildProcess>(program, args, dir_.string(), env, stdio);
        ::close(in[0]);
        p->input = in[1];
        p->out.start();
        p->err.start();
        return p;
    }
    long pump_moves() const {
        const auto lines = pump_.received_lines();
        return std::count_if(lines.begin(), lines.end(),
                             [](const std::string& l) { return l.starts_with("MOVR="); });
    }
    // The escape byte reached the pump once, as the last thing it heard.
    void expect_pump_stopped() const {
        const std::string b = pump_.received_bytes();
        EXPECT_TRUE(b.ends_with('\x1b') && std::count(b.begin(), b.end(), '\x1b') == 1) << b;
    }

    fs::path dir_;
    sim::SimPump pump_{0.05};
    sim::SimValve valve_{0.05};
};

TEST_F(QuorvelRunE2e, StepsRunInOrderAndEachWaitIsHonoured) {
    write_setup(kBothPorts);
    const std::string method = write_method(
        "three.pmf",
        {"Multi Valve|3|CW|1|false", kShortAspirate + "|1|false", kShortDispense + "|1|false"});
    const std::string text = R"( 1   Multi Valve   pos.= 3      dir.= CW             1
 2   Aspirate    50.0000         600.00              1
 3   Dispense    50.0000         600.00              1
)";
    const char* json[] = {
        R"({"type":"step","row":1,"action":"Multi Valve","volume":null,"rate":null,"position":3,"direction":"CW","wait":1,"event":false})",
        R"({"type":"step","row":2,"action":"Aspirate","volume":50,"rate":600,"position":null,"direction":null,"wait":1,"event":false})",
        R"({"type":"step","row":3,"action":"Dispense","volume":50,"rate":600,"position":null,"direction":null,"wait":1,"event":false})"};
    for (const bool as_json : {false, true}) {
        SCOPED_TRACE(as_json ? "--json" : "text");
        pump_.clear_received();
        valve_.clear_received();
        auto run =
            start(as_json ? std::vector<std::string>{"--json", method} : std::vector{method});
        const std::optional<int> code = run->wait_exit();
        const Clock::time_point ended = Clock::now();
        ASSERT_EQ(code, 0) << run->err.text();
        const auto lines = run->out.lines();
        if (!as_json) {
            EXPECT_EQ(run->out.text(), text);
        }
        // The records: start, the three steps, end.
        const std::size_t first = as_json ? 1 : 0;
        ASSERT_EQ(lines.size(), as_json ? 5u : 3u) << run->out.text();
        for (std::size_t i = 0; as_json && i < 3; ++i) {
            std::optional<JsonObject> step = json_object(lines[first + i]);
            ASSERT_TRUE(step && step->erase(R"("time")") == 1) << lines[first + i];
            EXPECT_EQ(step, json_object(json[i])) << lines[first + i];
        }
        // Each step starts after the previous one's move and 1 s wait; the end after the last's.
        const auto t = run->out.times();
        ASSERT_EQ(t.size(), lines.size()) << run->out.text();
        EXPECT_GE(t[first + 1] - t[first], 1s);
        EXPECT_GE(t[first + 2] - t[first + 1], 1s);
        EXPECT_GE(ended - t[first + 2], 1s);

        EXPECT_EQ(valve_.received_lines(), (std::vector<std::string>{"", "cw3", "cp"}));
        // After the initialisation's calibration: the rewind's SSTP, both moves, the end's SSTP.
        const auto sent = pump_.received_lines();
        const auto munit = std::find_if(
            sent.begin(), sent.end(), [](const std::string& l) { return l.starts_with("MUNIT="); });
        ASSERT_NE(munit, sent.end());
        EXPECT_EQ(std::vector<std::string>(munit + 1, sent.end()),
                  (std::vector<std::string>{"SSTP", "VM=10.00000000", "MOVR=-50.00000000",
                                            "VM=10.00000000", "MOVR=50.00000000", "SSTP"}));
        expect_pump_stopped();
    }
}

// Step 2 waits for an event; only a line that comes while it waits releases it, as the
// window's Event button does, so the press made during step 1 is lost.
TEST_F(QuorvelRunE2e, EventStepWaitsForALineOnStandardInput) {
    write_setup(kBothPorts);
    const std::string method =
        write_method("event.pmf", {kShortAspirate + "|2|false", kShortDispense + "|0|true"});
    for (const bool end_input : {false, true}) {
        SCOPED_TRACE(end_input ? "input ends" : "Enter");
        pump_.clear_received();
        auto run = start({method});
        ASSERT_TRUE(wait_until([&] { return !run->out.lines().empty(); }, 60s)) << run->err.text();
        run->press_enter();
        ASSERT_TRUE(wait_until([&] { return run->err.has("step 2 waits for an event"); }, 60s))
            << run->err.text();
        std::this_thread::sleep_for(300ms);  // passes in which the early press could count
        EXPECT_EQ(run->out.lines().size(), 1u);
        EXPECT_EQ(pump_moves(), 1);

        end_input ? run->close_input() : run->press_enter();
        ASSERT_EQ(run->wait_exit(), end_input ? 4 : 0) << run->err.text();
        EXPECT_EQ(run->out.lines().size(), end_input ? 1u : 2u);
        EXPECT_EQ(pump_moves(), end_input ? 1 : 2);
        EXPECT_EQ(run->err.has("standard input has ended"), end_input);
        expect_pump_stopped();
    }
}

TEST_F(QuorvelRunE2e, AFailingPortOrDeviceEndsTheRunWithItsOwnStatus) {
    const struct {
        std::string setup, silent, option, com2, message;  // message: a regular expression
        int code;         // a port that cannot be had: 1; a device that stops answering: 3
        std::string row;  // the row last started
    } cases[] = {
        {kBothPorts, "pump", "", "", R"(no reply from the pump \(COM1, .+\) within 3 s while init)",
         3, "null"},
        {kBothPorts, "pump", "--no-init", "", R"(no reply from the pump \(COM1, .+\) within 3 s;)",
         3, "2"},
        {kBothPorts, "valve", "", "", R"(no reply from the valve \(COM2, .+\) within 5 s)", 3, "1"},
        {kBothPorts, "", "", "/nonexistent/tty",
         R"(Cannot open valve serial port\..*no such device)", 1, "null"},
        {"com_pump=1\r\n", "", "", "", "step 1 needs the valve, but setup.txt names no valve port",
         1, "null"},
    };
    const std::string method = write_method(
        "valve_then_pump.pmf", {"Multi Valve|2|Short|0|false", kShortDispense + "|0|false"});
    for (const auto& k : cases) {
        SCOPED_TRACE(k.message);
        write_setup(k.setup);
        pump_.clear_received();
        pump_.faults().silent = k.silent == "pump";
        valve_.faults().silent = k.silent == "valve";
        std::map<std::string, std::string> env;
        if (!k.com2.empty()) env["QUORVEL_COM2"] = k.com2;
        std::vector<std::string> args{"--json", method};
        if (!k.option.empty()) args.insert(args.begin(), k.option);
        auto run = start(args, env);
        ASSERT_EQ(run->wait_exit(), k.code) << run->err.text();
        EXPECT_TRUE(std::regex_search(run->err.text(), std::regex(k.message))) << run->err.text();
        // The run's records: its start, the error with the device and port, and the end.
        const auto records = json_records(run->out.lines());
        ASSERT_TRUE(records && records->size() >= 3) << run->out.text();
        EXPECT_EQ(outline(records->front()), "start");
        EXPECT_EQ(outline((*records)[records->size() - 2], {"device", "port"}),
                  k.silent.empty() && k.com2.empty()
                      ? "error device=null port=null"
                      : "error device=\"" + (k.silent.empty() ? "valve" : k.silent) +
                            "\" port=\"COM" + (k.silent == "pump" ? "1" : "2") + "\"");
        EXPECT_EQ(outline(records->back(), {"status", "exit", "row"}),
                  "end status=\"failed\" exit=" + std::to_string(k.code) + " row=" + k.row);
        EXPECT_EQ(pump_moves(), 0);
        expect_pump_stopped();
        // A device absent this time is still the one configured.
        if (!k.com2.empty()) {
            EXPECT_TRUE(read_setup().starts_with("com_pump=1\r\ncom_valve=2\r\n")) << read_setup();
        }
    }
}

// A move that never ends, one the controller refuses, or a port that hangs up mid-move ends
// the run with status 3 and the port named, and the next step never starts. The hang-up is
// last: it ends the simulated pump.
TEST_F(QuorvelRunE2e, AStepThePumpNeverFinishesEndsTheRun) {
    write_setup(kBothPorts);
    const struct {
        std::atomic<bool> sim::FaultSwitches::*fault;
        std::string first;   // the first step's move
        std::string reason;  // a regular expression
    } cases[] = {
        // 5 uL at 10 uL/s: 0.5 s of motion, bounded at 0.625 s and a 3 s reply time-out.
        {&sim::FaultSwitches::never_stops, "Dispense|5.0000|600.00",
         "the pump did not finish its move within 4 s"},
        {&sim::FaultSwitches::refuses_motion, "Dispense|5.0000|600.00",
         "the pump refused the move"},
        // 0.5 s at the simulator's time scale: its hang-up comes halfway, well before the end.
        {&sim::FaultSwitches::hangs_up_mid_move, "Dispense|100.0000|600.00",
         "the pump's port is gone"},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.reason);
        const std::string method =
            write_method("short.pmf", {k.first + "|0|false", kShortAspirate + "|0|false"});
        pump_.clear_received();
        pump_.faults().*k.fault = true;
        auto run = start({method});
        ASSERT_EQ(run->wait_exit(), 3) << run->err.text();
        EXPECT_TRUE(std::regex_search(
            run->err.text(),
            std::regex("step 1: " + k.reason + R"( \(pump port COM1, .+\); stopping the pump)")))
            << run->err.text();
        EXPECT_EQ(run->out.lines().size(), 1u) << run->out.text();
        EXPECT_EQ(pump_moves(), 1);
        if (!pump_.hung_up()) expect_pump_stopped();
        pump_.faults().*k.fault = false;
    }
}

TEST_F(QuorvelRunE2e, AStopSignalMidMoveSendsTheEscapeByte) {
    write_setup(kBothPorts);
    // 1000 s of motion, 50 s at the simulators' time scale.
    const std::string method = write_method("long.pmf", {"Dispense|100.0000|6.00|0|false"});
    // Signal 0: the command stop, which ends the run as SIGINT does.
    for (const auto& [signal, code] :
         {std::pair{SIGINT, 130}, {SIGTERM, 143}, {SIGHUP, 129}, {0, 130}}) {
        SCOPED_TRACE(signal);
        pump_.clear_received();
        auto run = start({"--json", "--control", method});
        ASSERT_TRUE(wait_until([&] { return pump_.moving(); }, 60s)) << run->err.text();
        if (signal != 0)
            run->child->signal(signal);
        else
            ASSERT_EQ(::write(run->input, "stop\n", 5), 5);
        ASSERT_EQ(run->wait_exit(), code) << run->err.text();
        const auto records = json_records(run->out.lines());
        ASSERT_TRUE(records && !records->empty()) << run->out.text();
        EXPECT_EQ(outline(records->back(), {"status", "exit", "row"}),
                  "end status=\"stopped\" exit=" + std::to_string(code) + " row=1");
        expect_pump_stopped();
        EXPECT_TRUE(wait_until([&] { return !pump_.moving(); }, 5s));
        EXPECT_TRUE(read_setup().starts_with("com_pump=1\r\ncom_valve=2\r\n")) << read_setup();
    }
}

// A scheduler follows the records: the Event step's wait is told before the run reads a
// line, then its event and its step. Both ways of pressing Event are recorded alike, and
// the run record keeps every run, the start record first.
TEST_F(QuorvelRunE2e, RecordsFollowTheRunAndTheLogKeepsEachRun) {
    write_setup(kBothPorts);
    const std::string method =
        write_method("event.pmf", {kShortDispense + "|0|false", kShortAspirate + "|0|true"});
    const std::string log = (dir_ / "runs.jsonl").string();
    std::ifstream file(method, std::ios::binary);
    const std::string digest = sha256_hex(
        std::string{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()});
    std::vector<std::string> printed;
    for (const bool control : {false, true}) {
        SCOPED_TRACE(control ? "--control" : "Enter");
        std::vector<std::string> args{"--json", "--log", log, method};
        if (control) args.insert(args.begin(), "--control");
        auto run = start(args);
        ASSERT_TRUE(wait_until([&] { return run->out.has(R"("type":"wait")"); }, 60s))
            << run->err.text();
        ASSERT_EQ(::write(run->input, control ? "event\n" : "\n", control ? 6 : 1),
                  control ? 6 : 1);
        ASSERT_EQ(run->wait_exit(), 0) << run->err.text();
        const auto lines = run->out.lines();
        const auto records = json_records(lines);
        ASSERT_TRUE(records) << run->out.text();
        std::vector<std::string> got;
        for (const JsonObject& r : *records) got.push_back(outline(r, {"row", "status", "exit"}));
        EXPECT_EQ(got,
                  (std::vector<std::string>{"start", "step row=1", "wait row=2", "event row=2",
                                            "step row=2", "end row=2 status=\"finished\" exit=0"}));
        const JsonObject& first = records->front();
        EXPECT_EQ(outline(first, {"method", "sha256", "steps", "pump_port", "valve_port", "version",
                                  "program"}),
                  "start method=" + json_string(method) + " sha256=\"" + digest +
                      "\" steps=2 pump_port=\"COM1\" valve_port=\"COM2\" version=\"" +
                      QUORVEL_VERSION + "\" program=\"quorvel-run\"");
        EXPECT_EQ(member(first, "pump_device"), json_string(pump_.device_path()));
        printed.insert(printed.end(), lines.begin(), lines.end());
    }
    std::ifstream in(log);
    std::vector<std::string> logged;
    for (std::string l; std::getline(in, l);) logged.push_back(l);
    EXPECT_EQ(logged, printed);
}

// With --control every line is a command, answered by its record. A pause lets the step
// under way end and starts nothing more until resume; an Event step still needs its event.
TEST_F(QuorvelRunE2e, ControlCommandsPauseAndResumeTheRun) {
    write_setup(kBothPorts);
    // The first step moves for 2.5 s at the simulators' time scale: the commands are all
    // taken while it moves.
    const std::string method =
        write_method("three.pmf", {"Dispense|50.0000|60.00|0|false", kShortAspirate + "|0|false",
                                   kShortDispense + "|0|true"});
    auto run = start({"--json", "--control", method});
    const auto say = [&](const std::string& line) {
        ASSERT_EQ(::write(run->input, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    };
    const auto has = [&](const std::string& part) {
        return wait_until([&] { return run->out.has(part); }, 60s);
    };
    ASSERT_TRUE(has(R"("type":"step")")) << run->err.text();
    say("pause\nevent\n  resume  \r\nresume\nbogus\npause\n");
    ASSERT_TRUE(has(R"("type":"pause")")) << run->err.text();
    ASSERT_TRUE(has(R"("type":"error")")) << run->err.text();
    // The first step's motion ends; while paused no other starts.
    ASSERT_TRUE(wait_until([&] { return pump_moves() == 1 && !pump_.moving(); }, 60s));
    std::this_thread::sleep_for(500ms);  // passes in which a step could start
    EXPECT_EQ(pump_moves(), 1);
    say("resume\n");
    ASSERT_TRUE(has(R"("type":"wait")")) << run->err.text();
    EXPECT_EQ(pump_moves(), 2);
    say("event\n");
    ASSERT_EQ(run->wait_exit(), 0) << run->err.text();
    const auto records = json_records(run->out.lines());
    ASSERT_TRUE(records) << run->out.text();
    std::vector<std::string> got;
    for (const JsonObject& r : *records) got.push_back(outline(r, {"row", "message", "status"}));
    EXPECT_EQ(
        got,
        (std::vector<std::string>{
            "start", "step row=1", "pause row=1", "error message=\"no step waits for an event\"",
            "resume row=1", "error message=\"the run is not paused\"",
            "error message=\"unknown command \\\"bogus\\\" (event, pause, resume or stop)\"",
            "pause row=1", "resume row=1", "step row=2", "wait row=3", "event row=3", "step row=3",
            "end row=3 message=\"the method ran to its end\" status=\"finished\""}));
    expect_pump_stopped();

    // Input that ends while the run is paused leaves it nothing to resume it.
    auto paused = start({"--json", "--control", method});
    ASSERT_TRUE(wait_until([&] { return paused->out.has(R"("type":"step")"); }, 60s));
    ASSERT_EQ(::write(paused->input, "pause\n", 6), 6);
    ASSERT_TRUE(wait_until([&] { return paused->out.has(R"("type":"pause")"); }, 60s));
    paused->close_input();
    ASSERT_EQ(paused->wait_exit(), 4) << paused->err.text();
    const auto ended = json_records(paused->out.lines());
    ASSERT_TRUE(ended && !ended->empty()) << paused->out.text();
    EXPECT_EQ(outline(ended->back(), {"status", "exit"}), "end status=\"failed\" exit=4");
}

// A run killed outright leaves its record in whole lines, every one of them a record.
TEST_F(QuorvelRunE2e, AKilledRunLeavesWholeLinesInItsRecord) {
    write_setup(kBothPorts);
    const std::string method = write_method("loop.pmf", {"Multi Valve|2|Short|0|false"});
    const std::string log = (dir_ / "runs.jsonl").string();
    const auto read_log = [&] {
        std::ifstream in(log, std::ios::binary);
        return std::string{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    };
    auto run = start({"--repeat", "--log", log, method});
    ASSERT_TRUE(wait_until(
        [&] {
            const std::string text = read_log();
            return std::count(text.begin(), text.end(), '\n') >= 6;
        },
        60s))
        << run->err.text();
    run->child->signal(SIGKILL);
    ASSERT_EQ(run->wait_exit(), -1) << "ended by the signal";
    const std::string text = read_log();
    ASSERT_TRUE(text.ends_with('\n')) << text;
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    const auto records = json_records(lines);
    ASSERT_TRUE(records) << text;
    EXPECT_EQ(outline(records->front()), "start");
    EXPECT_EQ(outline(records->back()), "step row=1");
}

// A standard stream closed at the start is /dev/null, never the next descriptor opened (a
// pipe of the program's own or a port): no line reaches a device or the signal pipe, and a
// closed input is one that has ended.
TEST_F(QuorvelRunE2e, ClosedStandardStreamsActAsDevNull) {
    write_setup(kBothPorts);
    const std::string plain =
        write_method("plain.pmf", {"Multi Valve|2|Short|0|false", kShortDispense + "|0|false"});
    const std::string event =
        write_method("event.pmf", {kShortDispense + "|0|false", kShortAspirate + "|0|true"});
    const struct {
        std::vector<int> closed;
        std::string method;
        int code;
        std::size_t moves;
    } cases[] = {
        {{1}, plain, 0, 1},
        {{0, 1, 2}, plain, 0, 1},
        {{0}, event, 4, 1},
        {{0, 2}, event, 4, 1},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(::testing::PrintToString(k.closed) + " " + k.method);
        pump_.clear_received();
        valve_.clear_received();
        auto run = start({k.method}, {}, QUORVEL_RUN_BINARY, k.closed);
        ASSERT_EQ(run->wait_exit(), k.code) << run->err.text();
        EXPECT_EQ(pump_moves(), static_cast<long>(k.moves));
        for (const std::string& b : {pump_.received_bytes(), valve_.received_bytes()}) {
            EXPECT_EQ(b.find("quorvel-run"), std::string::npos) << b;
            EXPECT_EQ(b.find("Dispense"), std::string::npos) << b;
        }
        if (std::count(k.closed.begin(), k.closed.end(), 2) == 0 && k.code == 4) {
            EXPECT_TRUE(run->err.has("standard input has ended while step 2 waits"))
                << run->err.text();
        }
        expect_pump_stopped();
    }
}

// The processor time the process has used so far (all its threads), from the kernel.
std::optional<double> cpu_seconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto paren = stat.rfind(')');
    if (paren == std::string::npos) return std::nullopt;
    std::istringstream fields(stat.substr(paren + 2));
    std::vector<std::string> f{std::istream_iterator<std::string>(fields), {}};
    // After the name: state is field 3; utime and stime are fields 14 and 15.
    if (f.size() < 13) return std::nullopt;
    return static_cast<double>(std::stoull(f[11]) + std::stoull(f[12])) /
           static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// Input that never stops (as `yes ''`) is not read while no step waits for its Event: the
// run sleeps through a long move while the lines pile up, and the first line after the
// Event step has begun to wait releases it.
TEST_F(QuorvelRunE2e, InputThatKeepsComingCostsNoProcessorTime) {
    write_setup(kBothPorts);
    // 50 uL at 60 uL/min: 50 s of motion, 2.5 s at the simulators' time scale, each.
    const std::string method = write_method(
        "flood.pmf", {"Dispense|50.0000|60.00|0|false", "Aspirate|50.0000|60.00|0|true"});
    auto run = start({method});
    const long capacity = ::fcntl(run->input, F_GETPIPE_SZ);
    ASSERT_GT(capacity, 0);
    std::atomic<long> written{0};
    std::thread writer([&written, fd = run->input] {
        const std::string lines(512, '\n');
        while (::write(fd, lines.data(), lines.size()) > 0) written += 512;
    });
    // However the test ends, the writer stops once the program, its reader, is gone.
    struct StopWriter {
        RunningProgram& run;
        std::thread& writer;
        ~StopWriter() {
            run.child.reset();
            writer.join();
        }
    } stop_writer{*run, writer};
    const auto step_lines = [&] { return run->out.lines().size(); };
    ASSERT_TRUE(wait_until([&] { return step_lines() >= 1; }, 60s)) << run->err.text();
    const std::optional<double> cpu_at_first = cpu_seconds(run->child->pid());
    const long written_at_first = written.load();
    const Clock::time_point first = Clock::now();
    const bool second_started = wait_until([&] { return step_lines() >= 2; }, 60s);
    const std::optional<double> cpu_at_second = cpu_seconds(run->child->pid());
    const long written_at_second = written.load();
    const std::chrono::duration<double> wall = Clock::now() - first;
    const std::optional<int> code = run->wait_exit();
    ASSERT_TRUE(second_started) << run->err.text();
    ASSERT_EQ(code, 0) << run->err.text();
    ASSERT_TRUE(cpu_at_first && cpu_at_second);
    const double cpu = *cpu_at_second - *cpu_at_first;
    std::printf("step 1: %.2f s of wall time, %.2f s of processor time, %ld lines taken\n",
                wall.count(), cpu, written_at_second - written_at_first);
    EXPECT_GE(wall.count(), 2.0);
    // A run that reads every line uses a whole core; a sleeping one, a few per cent.
    EXPECT_LT(cpu, 0.25 * wall.count());
    // Lines are taken only to drop those waiting when the step began to wait, and then
    // the one that releases it: the pipe's contents once, and once more at most.
    EXPECT_LE(written_at_second - written_at_first, 2 * capacity + 512);
    EXPECT_TRUE(run->err.has("step 2 waits for an event")) << run->err.text();
    EXPECT_EQ(pump_moves(), 2);
}

// A run started at row N prints row N first and drives only what the rows from N do; an
// Event row waits as at the start, and Repeat comes back to row 1.
TEST_F(QuorvelRunE2e, StartAtBeginsTheRunAtTheRowNamed) {
    write_setup(kBothPorts);
    const std::string method =
        write_method("rows.pmf", {"Multi Valve|3|CW|0|false", "Aspirate|20.0000|600.00|0|true",
                                  "Dispense|30.0000|600.00|0|false"});
    const std::string aspirate = "MOVR=-20.00000000", dispense = "MOVR=30.00000000";
    const struct {
        std::vector<std::string> args;
        std::vector<int> rows;           // the rows printed, in order (a prefix with --repeat)
        std::vector<std::string> moves;  // the pump's moves (a prefix with --repeat)
        int valve_moves;                 // -1: not counted
    } cases[] = {
        {{"--start-at", "1"}, {1, 2, 3}, {aspirate, dispense}, 1},
        {{"--start-at", "2"}, {2, 3}, {aspirate, dispense}, 0},
        {{"--start-at=3"}, {3}, {dispense}, 0},
        {{"--start-at=3", "--repeat"}, {3, 1, 2, 3}, {dispense, aspirate}, -1},
    };
    for (const auto& k : cases) {
        const bool repeat = k.args.back() == "--repeat";
        SCOPED_TRACE(::testing::PrintToString(k.args));
        pump_.clear_received();
        valve_.clear_received();
        std::vector<std::string> args = k.args;
        args.push_back(method);
        auto run = start(args);
        // Enter for each wait for the Event, once it is asked for.
        std::size_t presses = 0;
        ASSERT_TRUE(wait_until(
            [&] {
                const std::string err = run->err.text();
                std::size_t waits = 0;
                for (auto at = err.find("waits for an event"); at != std::string::npos;
                     at = err.find("waits for an event", at + 1))
                    ++waits;
                for (; presses < waits; ++presses) run->press_enter();
                return repeat ? run->out.lines().size() >= k.rows.size() : !run->child->running();
            },
            60s))
            << run->err.text();
        if (repeat) run->child->signal(SIGTERM);
        ASSERT_EQ(run->wait_exit(), repeat ? 143 : 0) << run->err.text();

        std::vector<int> rows;
        for (const std::string& line : run->out.lines()) rows.push_back(std::stoi(line));
        if (repeat && rows.size() > k.rows.size()) rows.resize(k.rows.size());
        EXPECT_EQ(rows, k.rows) << run->out.text();
        std::vector<std::string> moves;
        for (const std::string& line : pump_.received_lines())
            if (line.starts_with("MOVR=")) moves.push_back(line);
        if (repeat && moves.size() > k.moves.size()) moves.resize(k.moves.size());
        EXPECT_EQ(moves, k.moves);
        const auto valve_lines = valve_.received_lines();
        if (k.valve_moves >= 0) {
            EXPECT_EQ(std::count(valve_lines.begin(), valve_lines.end(), "cw3"), k.valve_moves);
        }
        // Row 2 waits for its Event whether the run starts before it or at it.
        EXPECT_EQ(run->err.has("step 2 waits for an event"),
                  std::find(k.rows.begin(), k.rows.end(), 2) != k.rows.end())
            << run->err.text();
        expect_pump_stopped();
    }
}

// Ports and settings given on the command line: the devices are found without setup.txt,
// and the working folder is left as it was, setup.txt or none.
TEST_F(QuorvelRunE2e, PortsAndSettingsCanBeGivenWithoutSetupTxt) {
    // Within the limits of the smallest pump, the size without settings.
    const std::string method =
        write_method("both.pmf", {"Multi Valve|3|CW|0|false", "Dispense|10.0000|300.00|0|false"});
    std::ofstream(dir_ / "lab.txt", std::ios::binary) << kBothPorts;
    const std::string pump = pump_.device_path(), valve = valve_.device_path();
    const std::string nowhere = "/nonexistent/tty";
    const struct {
        std::string name;
        std::optional<std::string> setup;  // setup.txt before the run; none: no file
        std::vector<std::string> args;
        std::map<std::string, std::string> env;
        int code;
        std::string err_part;
    } cases[] = {
        {"both by path",
         std::nullopt,
         {"--pump-port", pump, "--valve-port=" + valve},
         {{"QUORVEL_COM1", nowhere}, {"QUORVEL_COM2", nowhere}},
         0,
         ""},
        {"both by name", std::nullopt, {"--pump-port=COM1", "--valve-port", "com2"}, {}, 0, ""},
        {"another settings file",
         std::nullopt,
         {"--setup", (dir_ / "lab.txt").string()},
         {},
         0,
         ""},
        {"valve moved, pump from setup.txt",
         kBothPorts,
         {"--valve-port", "COM3"},
         {{"QUORVEL_COM2", nowhere}, {"QUORVEL_COM3", valve}},
         0,
         ""},
        // setup.txt's valve is COM1: the pump's device takes another number.
        {"pump by path beside setup.txt's valve",
         "com_valve=1\r\npump=1\r\n",
         {"--pump-port", pump},
         {{"QUORVEL_COM1", valve}, {"QUORVEL_COM2", nowhere}},
         0,
         ""},
        {"a path that is no device",
         kBothPorts,
         {"--pump-port", nowhere},
         {},
         1,
         "Cannot open pump serial port. " + nowhere},
        {"no valve anywhere",
         std::nullopt,
         {"--pump-port", pump},
         {},
         1,
         "step 1 needs the valve, but setup.txt names no valve port"},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        fs::remove(dir_ / "setup.txt");
        if (k.setup) write_setup(*k.setup);
        pump_.clear_received();
        valve_.clear_received();
        std::vector<std::string> args = k.args;
        args.push_back(method);
        auto run = start(args, k.env);
        ASSERT_EQ(run->wait_exit(), k.code) << run->err.text();
        EXPECT_TRUE(run->err.has(k.err_part)) << run->err.text();
        EXPECT_EQ(pump_moves(), k.code == 0 ? 1 : 0);
        if (k.code == 0) {
            const auto valve_lines = valve_.received_lines();
            EXPECT_EQ(std::count(valve_lines.begin(), valve_lines.end(), "cw3"), 1);
            expect_pump_stopped();
        }
        EXPECT_EQ(fs::exists(dir_ / "setup.txt"), k.setup.has_value());
        if (k.setup) {
            EXPECT_EQ(read_setup(), *k.setup);
        }
        std::ifstream in(dir_ / "lab.txt", std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), kBothPorts);
    }
}

// A device given by its path is named by it when it stops answering.
TEST_F(QuorvelRunE2e, ADeviceGivenByPathIsNamedByIt) {
    // Within the limits of the smallest pump, the size without settings.
    const std::string method = write_method("one.pmf", {"Dispense|10.0000|300.00|0|false"});
    pump_.faults().silent = true;
    auto run = start({"--no-init", "--pump-port", pump_.device_path(), method});
    ASSERT_EQ(run->wait_exit(), 3) << run->err.text();
    EXPECT_TRUE(run->err.has("no reply from the pump (" + pump_.device_path() + ") within 3 s"))
        << run->err.text();
    EXPECT_FALSE(fs::exists(dir_ / "setup.txt"));
}

// Whatever needs no device ends before a port is opened and leaves setup.txt alone.
TEST_F(QuorvelRunE2e, ListingAndRefusalsTouchNoPort) {
    write_setup(kBothPorts);
    const std::string method = write_method(
        "list.pmf", {"Multi Valve|3|CW|0|false", "Aspirate|100.0000|50.00|2|false",
                     "2 Pos.Valve|2|Short|0|false", "Dispense|100.0000|100.00|5|true"});
    const std::string empty = write_method("empty.pmf", {});
    // Listed as it stands, but not run: no pump of this size takes that rate.
    const std::string fast =
        write_method("fast.pmf", {"Multi Valve|3|CW|0|false", "Dispense|100.0000|999999|0|false"});
    const std::string too_fast =
        "fast.pmf: Step 2: the rate 999999 uL/min is above the pump's limit of 10000.02 uL/min.";
    const std::string text = R"( 1   Multi Valve   pos.= 3      dir.= CW
 2   Aspirate   100.0000          50.00              2
 3   2 Pos.Valve   pos.= B
 4   Dispense   100.0000         100.00              5           Yes
)";
    const std::string json =
        R"({"type":"step","row":1,"action":"Multi Valve","volume":null,"rate":null,"position":3,"direction":"CW","wait":0,"event":false}
{"type":"step","row":2,"action":"Aspirate","volume":100.0000,"rate":50.00,"position":null,"direction":null,"wait":2,"event":false}
{"type":"step","row":3,"action":"2 Pos.Valve","volume":null,"rate":null,"position":2,"direction":"Short","wait":0,"event":false}
{"type":"step","row":4,"action":"Dispense","volume":100.0000,"rate":100.00,"position":null,"direction":null,"wait":5,"event":true}
)";
    const struct {
        std::vector<std::string> args;
        int code;
        std::string out, err_part;
    } cases[] = {
        {{"--list", method}, 0, text, ""},
        {{"--list", "--json", method}, 0, json, ""},
        {{empty},
         2,
         "",
         "empty.pmf: There was a problem with this file: it holds no method steps\n"},
        {{dir_.string()}, 2, "", ": There was a problem with this file: it is a folder\n"},
        {{fast}, 2, "", too_fast},
        {{"--simulate", fast}, 2, "", too_fast},
        {{"--list", fast},
         0,
         " 1   Multi Valve   pos.= 3      dir.= CW\n 2   Dispense   100.0000         999999\n",
         ""},
        {{"--list", dir_ / "missing.pmf"},
         2,
         "",
         "missing.pmf: There was a problem with this file: No such file or directory\n"},
        {{}, 2, "", "no method file named"},
        {{"--fast", method}, 2, "", "unknown option '--fast'"},
        {{method, method}, 2, "", "only one method file"},
        {{"--time-scale", "0.1", method}, 2, "", "--time-scale needs --simulate"},
        {{"--start-at", "0", method}, 2, "", "bad --start-at value '0'"},
        {{"--start-at=-1", method}, 2, "", "bad --start-at value '-1'"},
        {{"--start-at=2x", method}, 2, "", "bad --start-at value '2x'"},
        {{method, "--start-at"}, 2, "", "--start-at needs a value"},
        {{"--start-at", "5", method}, 2, "", "--start-at 5: " + method + " has 4 steps"},
        {{"--list", "--start-at=5", method}, 2, "", "has 4 steps"},
        {{"--start-at=4", "--list", method}, 0, text, ""},
        {{"--pump-port", "COM5", method}, 2, "", "bad --pump-port value 'COM5'"},
        {{"--valve-port=ttyUSB0", method}, 2, "", "bad --valve-port value 'ttyUSB0'"},
        {{method, "--pump-port"}, 2, "", "--pump-port needs a port"},
        {{"--simulate", "--valve-port", "COM3", method}, 2, "", "--simulate takes no"},
        {{"--setup", dir_ / "none.txt", method},
         2,
         "",
         "none.txt: the settings cannot be read: No such file or directory"},
        {{"--setup", dir_.string(), method}, 2, "", "the settings cannot be read: not a regular"},
        {{"--simulate", "--time-scale=fast", method}, 2, "", "bad --time-scale value 'fast'"},
        {{"--version"}, 0, "quorvel-run " QUORVEL_VERSION "\n", ""},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.args.empty() ? "(no arguments)" : k.args.front());
        auto run = start(k.args);
        ASSERT_EQ(run->wait_exit(), k.code) << run->err.text();
        EXPECT_EQ(run->out.text(), k.out);
        EXPECT_NE(run->err.text().find(k.err_part), std::string::npos) << run->err.text();
    }
    EXPECT_EQ(pump_.received_bytes(), "");
    EXPECT_EQ(valve_.received_bytes(), "");
    EXPECT_EQ(read_setup(), kBothPorts);
}

// The simulators' program reads its command line as quorvel-run does.
TEST_F(QuorvelRunE2e, TheSimulatorKnowsItsVersionAndTakesNoFile) {
    const struct {
        std::vector<std::string> args;
        int code;
        std::string out, err;
    } cases[] = {
        {{"--version"}, 0, "quorvel-sim " QUORVEL_VERSION "\n", ""},
        {{"--", "--pump-silent"}, 2, "", "quorvel-sim: unexpected argument '--pump-silent'\n"},
        {{"pump"}, 2, "", "quorvel-sim: unexpected argument 'pump'\n"},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.args.back());
        auto run = start(k.args, {}, QUORVEL_SIM_BINARY);
        ASSERT_EQ(run->wait_exit(), k.code) << run->err.text();
        EXPECT_EQ(run->out.text(), k.out);
        const std::string err = run->err.text();
        EXPECT_EQ(err.substr(0, err.find('\n') + 1), k.err);  // the usage follows a mistake
    }
}

// The built-in simulators, with no setup.txt: they take COM1 and COM2, which are then saved.
// Without setup.txt the pump is the smallest size, whose limit is 400.02 uL/min.
TEST_F(QuorvelRunE2e, RepeatStartsTheOneRowAgainUntilInterrupted) {
    const std::string method = write_method("again.pmf", {"Dispense|10.0000|300.00|0|false"});
    auto run = start({"--simulate", "--time-scale=0.05", "--repeat", method});
    ASSERT_TRUE(wait_until([&] { return run->out.lines().size() >= 3; }, 60s)) << run->err.text();
    run->child->signal(SIGTERM);
    ASSERT_EQ(run->wait_exit(), 143) << run->err.text();
    for (const std::string& line : run->out.lines())
        EXPECT_EQ(line, " 1   Dispense    10.0000         300.00");
    EXPECT_TRUE(read_setup().starts_with("com_pump=1\r\ncom_valve=2\r\n")) << read_setup();
}

}  // namespace
}  // namespace quorvel
