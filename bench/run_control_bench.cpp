// What quorvel-run's standard input costs a program that drives it. Against the simulated
// pump and valve on pseudo-terminals, it prints:
// - the time from a "wait" record to the next step's first byte at the pump once "event"
//   is written (median, 90th percentile and worst of N Events);
// - the processor time of a whole run whose Event steps are answered by input that never
//   stops (as `yes ''` gives), against the same run answered one line when asked.
// Usage: run_control_bench [events]   (default 20)

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "sim_device.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Child {
    pid_t pid = -1;
    int in = -1;   // its standard input
    int out = -1;  // its standard output
};

Child spawn(const std::vector<std::string>& args, const fs::path& dir,
            const quorvel::sim::SimPump& pump, const quorvel::sim::SimValve& valve) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        if (::chdir(dir.c_str()) != 0) ::_exit(127);
        ::setenv("QUORVEL_COM1", pump.device_path().c_str(), 1);
        ::setenv("QUORVEL_COM2", valve.device_path().c_str(), 1);
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    return {pid, in[1], out[0]};
}

// The next line the child prints; empty at its end.
std::string next_line(int fd, std::string& pending) {
    for (;;) {
        if (const auto nl = pending.find('\n'); nl != std::string::npos) {
            std::string line = pending.substr(0, nl);
            pending.erase(0, nl + 1);
            return line;
        }
        char buf[4096];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) return {};
        pending.append(buf, static_cast<std::size_t>(n));
    }
}

double cpu_seconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto paren = stat.rfind(')');
    if (paren == std::string::npos) return -1;
    std::vector<std::string> f;
    std::string field;
    for (char c : stat.substr(paren + 2)) {
        if (c == ' ') {
            f.push_back(field);
            field.clear();
        } else {
            field += c;
        }
    }
    if (f.size() < 13) return -1;
    return static_cast<double>(std::stoull(f[11]) + std::stoull(f[12])) /
           static_cast<double>(::sysconf(_SC_CLK_TCK));
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

}  // namespace

int main(int argc, char** argv) {
    const int events = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    ::signal(SIGPIPE, SIG_IGN);
    quorvel::sim::SimPump pump(0.05);
    quorvel::sim::SimValve valve(0.05);
    std::string error;
    if (!pump.start(&error) || !valve.start(&error)) {
        std::fprintf(stderr, "run_control_bench: %s\n", error.c_str());
        return 1;
    }
    std::string dir_name = fs::temp_directory_path() / "run-control-bench-XXXXXX";
    if (!::mkdtemp(dir_name.data())) return 1;
    const fs::path dir = dir_name;
    std::ofstream(dir / "setup.txt", std::ios::binary) << "com_pump=1\r\ncom_valve=2\r\npump=1\r\n";
    // One Event step, started again and again: every round waits for its Event.
    std::ofstream(dir / "event.pmf", std::ios::binary)
        << ";...Tamsel pump method file...Do not edit!...\r\nDispense|5.0000|600.00|0|true\r\n";

    // 1. From a "wait" record to the step's first byte at the pump.
    Child run = spawn({QUORVEL_RUN_BINARY, "--json", "--control", "--repeat", "event.pmf"}, dir,
                      pump, valve);
    std::string pending;
    std::vector<double> latency_ms;
    while (static_cast<int>(latency_ms.size()) < events) {
        const std::string line = next_line(run.out, pending);
        if (line.empty()) break;
        if (line.find("\"type\":\"wait\"") == std::string::npos) continue;
        const std::size_t heard = pump.received_bytes().size();
        const Clock::time_point asked = Clock::now();
        if (::write(run.in, "event\n", 6) != 6) break;
        while (pump.received_bytes().size() == heard)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        latency_ms.push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - asked).count());
    }
    ::kill(run.pid, SIGTERM);
    ::waitpid(run.pid, nullptr, 0);
    ::close(run.in);
    ::close(run.out);
    if (latency_ms.empty()) {
        std::fprintf(stderr, "run_control_bench: no Event was waited for\n");
        return 1;
    }
    std::printf(
        "wait record -> first byte of the step after \"event\": median %.1f ms, "
        "90th percentile %.1f ms, worst %.1f ms (%zu Events)\n",
        percentile(latency_ms, 0.5), percentile(latency_ms, 0.9), percentile(latency_ms, 1.0),
        latency_ms.size());

    // 2. The processor time of a whole run of `events` rounds, however its input comes.
    std::ofstream(dir / "rounds.pmf", std::ios::binary)
        << ";...Tamsel pump method file...Do not edit!...\r\n";
    {
        std::ofstream m(dir / "rounds.pmf", std::ios::binary | std::ios::app);
        for (int i = 0; i < std::min(events, 99); ++i) m << "Dispense|5.0000|600.00|0|true\r\n";
    }
    for (const bool flood : {true, false}) {
        Child r = spawn({QUORVEL_RUN_BINARY, "--json", "rounds.pmf"}, dir, pump, valve);
        std::atomic<bool> done{false};
        std::thread writer;
        if (flood) {
            writer = std::thread([&] {
                const std::string lines(4096, '\n');
                while (!done && ::write(r.in, lines.data(), lines.size()) > 0) {
                }
            });
        }
        std::string rest;
        const Clock::time_point began = Clock::now();
        for (std::string line; !(line = next_line(r.out, rest)).empty();) {
            if (!flood && line.find("\"type\":\"wait\"") != std::string::npos &&
                ::write(r.in, "\n", 1) != 1)
                break;
        }
        // Ended but not yet reaped: the kernel still has the whole process's times.
        siginfo_t info{};
        ::waitid(P_PID, static_cast<id_t>(r.pid), &info, WEXITED | WNOWAIT);
        const double wall = std::chrono::duration<double>(Clock::now() - began).count();
        const double cpu = cpu_seconds(r.pid);
        done = true;
        if (writer.joinable()) writer.join();  // its next write fails: the reader is gone
        ::close(r.in);
        ::waitpid(r.pid, nullptr, 0);
        ::close(r.out);
        std::printf("%s: %.2f s of processor time for a %.1f s run\n",
                    flood ? "input that never stops (yes '')" : "one line when asked       ", cpu,
                    wall);
    }
    fs::remove_all(dir);
    return 0;
}
