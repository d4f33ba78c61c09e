// Runs the communication thread for a while against the simulated pump and valve, both
// ports open, and prints the pass period (mean, 99th percentile, worst) and the thread's
// CPU time per second of wall time. Usage: comm_bench [seconds]   (default 10)

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <numeric>
#include <thread>
#include <vector>

#include "comm/comm_thread.h"
#include "comm/pump_commands.h"
#include "comm/pump_init.h"
#include "comm/serial_port.h"
#include "comm/valve_commands.h"
#include "session/system.h"
#include "session/system_pass.h"
#include "sim_device.h"

namespace {

using namespace quorvel;

double thread_cpu_s() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double wall_s() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The end of every pass: the moment and the thread's CPU time there mark one pass. Runs on the communication thread.
class PassClock final : public SessionListener {
  public:
    void pass_done() override {
        std::lock_guard lock(mutex_);
        ends_.push_back(wall_s());
        cpu_.push_back(thread_cpu_s());
    }
    void message(const std::string& text, const std::string&) override {
        std::fprintf(stderr, "message: %s\n", text.c_str());
    }
    std::vector<double> ends() const {
        std::lock_guard lock(mutex_);
        return ends_;
    }
    std::vector<double> cpu() const {
        std::lock_guard lock(mutex_);
        return cpu_;
    }

  private:
    mutable std::mutex mutex_;
    std::vector<double> ends_;
    std::vector<double> cpu_;
};

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    sim::SimPump pump_sim(1.0);
    sim::SimValve valve_sim(1.0);
    std::string error;
    if (!pump_sim.start(&error) || !valve_sim.start(&error)) {
        std::fprintf(stderr, "cannot start the simulators: %s\n", error.c_str());
        return 1;
    }
    PassClock clock;
    System sys(clock);
    auto pump = open_serial_device(pump_sim.device_path(), &error);
    auto valve = open_serial_device(valve_sim.device_path(), &error);
    if (!pump || !valve) {
        std::fprintf(stderr, "cannot open the simulated ports: %s\n", error.c_str());
        return 1;
    }
    replace_port(sys.comm.pump, std::move(pump));
    replace_port(sys.comm.valve, std::move(valve));

    SystemPass hooks(sys);
    CommThread thread(sys.comm, hooks);
    thread.start();
    // Realistic traffic: an initialisation, then a pump move and a valve move every 2 s.
    start_pump_initialisation(sys.comm, {});
    const double start = wall_s();
    int round = 0;
    while (wall_s() - start < seconds) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (sys.comm.init_stage.load() == InitStage::None && wall_s() - start > 2.0 * (round + 1)) {
            ++round;
            move_pump_relative(sys.comm, 10.0, 5.0, round % 2 ? MoveKind::Dispense : MoveKind::Aspirate);
            send_valve_command(sys.comm, 1 + round % 6, ValveDirection::Short, ValveKind::MultiPosition);
        }
    }
    thread.stop();

    const std::vector<double> ends = clock.ends();
    const std::vector<double> cpu = clock.cpu();
    if (ends.size() < 3) {
        std::fprintf(stderr, "too few passes\n");
        return 1;
    }
    std::vector<double> periods_ms;
    for (std::size_t i = 1; i < ends.size(); ++i)
        periods_ms.push_back((ends[i] - ends[i - 1]) * 1000.0);
    std::vector<double> sorted = periods_ms;
    std::sort(sorted.begin(), sorted.end());
    const double mean =
        std::accumulate(periods_ms.begin(), periods_ms.end(), 0.0) / periods_ms.size();
    const double p99 = sorted[static_cast<std::size_t>(0.99 * (sorted.size() - 1))];
    const double wall = ends.back() - ends.front();
    const double cpu_per_wall = (cpu.back() - cpu.front()) / wall;

    std::printf("passes:                 %zu over %.1f s\n", ends.size(), wall);
    std::printf("pass period mean:       %.2f ms\n", mean);
    std::printf("pass period p99:        %.2f ms\n", p99);
    std::printf("pass period worst:      %.2f ms\n", sorted.back());
    std::printf("thread CPU per wall s:  %.3f %% of one core\n", cpu_per_wall * 100.0);
    std::printf("pump lines received:    %zu, valve lines: %zu\n", pump_sim.received_lines().size(),
                valve_sim.received_lines().size());
    return 0;
}
