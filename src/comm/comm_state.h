#pragma once
// The record the communication thread and the windows share. Single fields that both
// threads touch are atomics; compound steps take the short locks named beside them.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "comm/command_queue.h"
#include "comm/terminal_log.h"

namespace quorvel {

enum class PumpActivity : int {
    Aspirate = 1,
    Dispense = 2,
    Wait = 3,
    Ready = 4,
    Wash = 5,
    Valve = 6
};

struct CommState {
    static constexpr int kPumpReplyTimeoutMs = 3000;
    static constexpr int kValveReplyTimeoutMs = 5000;

    DeviceLink pump{kPumpReplyTimeoutMs};
    DeviceLink valve{kValveReplyTimeoutMs};

    std::atomic<bool> pump_moving{false};
    std::atomic<bool> move_dispensing{false};
    std::atomic<bool> move_washing{false};
    std::atomic<bool> valve_busy{false};
    std::atomic<bool> backlash_enabled{false};
    std::atomic<double> backlash_ul{1.0};
    std::atomic<PumpActivity> activity{PumpActivity::Ready};

    // Published whole: a window never sees a half-built line.
    std::string status_line() const {
        std::lock_guard lock(status_mutex_);
        return status_line_;
    }
    void publish_status_line(std::string line) {
        std::lock_guard lock(status_mutex_);
        status_line_ = std::move(line);
    }

    // Communication thread only.
    int status_pass_count = 0;
    std::uint32_t last_tick_ms = 0;  // 0 only before the first pass

    // 0 none, 2 backlash query running, 1 controller set-up running. Changed only under
    // init_mutex, so that a cancel (both fields 0 and the pump queue emptied) is one step
    // for the communication thread; read freely.
    std::mutex init_mutex;
    std::atomic<int> init_stage{0};
    std::atomic<int> init_line{0};

    TerminalLog terminal_log;

  private:
    mutable std::mutex status_mutex_;
    std::string status_line_;
};

}  // namespace quorvel
