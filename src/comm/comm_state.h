#pragma once
// The record the communication thread and the windows share. Single fields that both
// threads touch are atomics; compound steps take the short locks named beside them.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "comm/comm_events.h"
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
    CommState() = default;
    CommState(const CommState&) = delete;
    CommState& operator=(const CommState&) = delete;

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
    // The flow of the current or next pump move, for the Status window's speed.
    std::atomic<double> current_flow_ul_per_sec{1.0};

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

    // Who hears what happens here. Set before the communication thread starts.
    CommEvents& events() const { return *events_; }
    void set_events(CommEvents& e) { events_ = &e; }

  private:
    CommEvents ignored_events_;
    CommEvents* events_ = &ignored_events_;
    mutable std::mutex status_mutex_;
    std::string status_line_;
};

}  // namespace quorvel
