#pragma once
// A fresh system with in-memory ports and a recording listener, driven by a fake clock.

#include <memory>

#include "comm/comm_thread.h"
#include "comm/memory_port.h"
#include "recording_listener.h"
#include "session/system.h"
#include "session/system_pass.h"

namespace quorvel::testing {

struct CoreFixture {
    RecordingListener listener;
    System sys{listener};
    SystemPass hooks{sys};
    MemoryPort* pump_port = nullptr;
    MemoryPort* valve_port = nullptr;
    std::uint32_t now_ms = 1000;

    void attach_pump() {
        auto p = std::make_unique<MemoryPort>();
        pump_port = p.get();
        replace_port(sys.comm.pump, std::move(p));
    }
    void attach_valve() {
        auto p = std::make_unique<MemoryPort>();
        valve_port = p.get();
        replace_port(sys.comm.valve, std::move(p));
    }
    void attach_both() {
        attach_pump();
        attach_valve();
    }
    // One pass, then the clock advances by step_ms.
    void pass(std::uint32_t step_ms = 50) {
        hooks.run(now_ms);
        now_ms += step_ms;
    }
    void passes(int n, std::uint32_t step_ms = 50) {
        for (int i = 0; i < n; ++i) pass(step_ms);
    }
};

}  // namespace quorvel::testing
