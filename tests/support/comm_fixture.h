#pragma once
// The device communication alone: a fresh CommState with in-memory ports and a recording
// listener, driven by a fake clock. What the layers above would run in a pass is stood in
// for by hooks the test sets.

#include <memory>
#include <string>

#include "comm/comm_state.h"
#include "comm/comm_thread.h"
#include "comm/memory_port.h"
#include "comm/pass_hooks.h"
#include "recording_listener.h"

namespace quorvel::testing {

// The calibration is a line of its own here, "calibration", so a test sees where it falls.
struct StubHooks final : PassHooks {
    explicit StubHooks(CommState& c) : comm(c) {}
    void initialisation_scripts_sent() override {
        stage_when_calibrated = comm.init_stage.load();
        enqueue_command(comm, "calibration", comm.pump);
    }
    bool method_followed() const override { return followed; }
    bool method_waiting() const override { return waiting; }

    CommState& comm;
    bool followed = false;
    bool waiting = false;
    InitStage stage_when_calibrated = InitStage::None;
};

// In-memory ports for the two devices and a fake clock, for a fixture that runs passes.
class PassBench {
  public:
    virtual ~PassBench() = default;

    MemoryPort* pump_port = nullptr;
    MemoryPort* valve_port = nullptr;
    std::uint32_t now_ms = 1000;

    void attach_pump() { pump_port = attach(comm_state().pump); }
    void attach_valve() { valve_port = attach(comm_state().valve); }
    void attach_both() {
        attach_pump();
        attach_valve();
    }
    // One pass, then the clock advances by step_ms.
    void pass(std::uint32_t step_ms = 50) {
        run_pass(now_ms);
        now_ms += step_ms;
    }
    void passes(int n, std::uint32_t step_ms = 50) {
        for (int i = 0; i < n; ++i) pass(step_ms);
    }

  protected:
    virtual CommState& comm_state() = 0;
    virtual void run_pass(std::uint32_t now_ms) = 0;

  private:
    static MemoryPort* attach(DeviceLink& link) {
        auto p = std::make_unique<MemoryPort>();
        MemoryPort* raw = p.get();
        replace_port(link, std::move(p));
        return raw;
    }
};

struct CommFixture : PassBench {
    CommFixture() { comm.set_events(listener); }

    RecordingListener listener;
    CommState comm;
    StubHooks hooks{comm};

  protected:
    CommState& comm_state() override { return comm; }
    void run_pass(std::uint32_t now) override { comm_thread_pass(comm, hooks, now); }
};

}  // namespace quorvel::testing
