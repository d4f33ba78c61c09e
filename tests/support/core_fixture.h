#pragma once
// A fresh system with in-memory ports and a recording listener, driven by a fake clock.

#include "comm_fixture.h"
#include "session/system.h"
#include "session/system_pass.h"

namespace quorvel::testing {

struct CoreFixture : PassBench {
    RecordingListener listener;
    System sys{listener};
    SystemPass hooks{sys};

  protected:
    CommState& comm_state() override { return sys.comm; }
    void run_pass(std::uint32_t now) override { hooks.run(now); }
};

}  // namespace quorvel::testing
