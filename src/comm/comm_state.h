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

// Which script of the pump initialisation runs (the numbers are the historical ones).
enum class InitStage : int { None = 0, ControllerSetup = 1, BacklashQuery = 2 };

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

    // Changed only under init_mutex, so that a cancel (no stage, line 0 and the pump
    // queue emptied) is one step for the communication thread; read freely.
    std::mutex init_mutex;
    std::atomic<InitStage> init_stage{InitStage::None};
    std::atomic<int> init_line{0};

    TerminalLog terminal_log;

  private:
    mutable std::mutex status_mutex_;
    std::string status_line_;
};

}  // namespace quorvel
