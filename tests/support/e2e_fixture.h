#pragma once
// The real communication thread over real pseudo-terminals, against the simulators.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "comm/comm_thread.h"
#include "comm/pump_init.h"
#include "comm/serial_port.h"
#include "recording_listener.h"
#include "session/system.h"
#include "session/system_pass.h"
#include "sim_device.h"
#include "wait_until.h"

namespace quorvel::testing {

class E2eFixture : public ::testing::Test {
  protected:
    // Simulated motion runs 20 times faster than real time.
    static constexpr double kTimeScale = 0.05;

    void SetUp() override {
        std::string error;
        ASSERT_TRUE(pump_sim.start(&error)) << error;
        ASSERT_TRUE(valve_sim.start(&error)) << error;
        auto pump_port = open_serial_device(pump_sim.device_path(), &error);
        ASSERT_TRUE(pump_port) << error;
        replace_port(sys.comm.pump, std::move(pump_port));
        auto valve_port = open_serial_device(valve_sim.device_path(), &error);
        ASSERT_TRUE(valve_port) << error;
        replace_port(sys.comm.valve, std::move(valve_port));
    }
    void TearDown() override {
        thread.stop();
        close_port(sys.comm.pump);
        close_port(sys.comm.valve);
    }

    int passes_seen() const { return listener.count(Heard::PassDone); }
    // Loads the monitor program straight from the set-up script, the way the
    // initialisation does, so the simulator reports motion.
    void load_monitor() {
        for (const std::string_view line : controller_setup_script) {
            if (line != "stop") enqueue_command(sys.comm, line, sys.comm.pump);
        }
        ASSERT_TRUE(
            wait_until([&] { return pump_sim.monitor_running() && sys.comm.pump.queue.empty(); }));
        ASSERT_TRUE(wait_passes(2));
    }
    // Waits until n more passes have run.
    bool wait_passes(int n) {
        const int target = passes_seen() + n;
        return wait_until([&] { return passes_seen() >= target; });
    }

    RecordingListener listener;
    System sys{listener};
    SystemPass hooks{sys};
    sim::SimPump pump_sim{kTimeScale};
    sim::SimValve valve_sim{kTimeScale};
    CommThread thread{sys.comm, hooks, 20};
};

}  // namespace quorvel::testing
