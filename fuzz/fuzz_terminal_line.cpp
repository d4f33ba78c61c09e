// Whatever the operator types or pastes into the Terminal window reaches the controller
// as one command line: the typed text's start, no line end, LF or NUL inside, at most 251
// characters, then the one CR. The first byte makes the adapter take only a few bytes per
// pass (0: all), so the line must also arrive whole across several passes.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "comm/comm_state.h"
#include "comm/comm_thread.h"
#include "comm/memory_port.h"
#include "comm/pass_hooks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quorvel;
    if (size < 1) return 0;
    const std::size_t intake = data[0] % 8;
    const std::string_view typed(reinterpret_cast<const char*>(data + 1), size - 1);

    CommState comm;
    PassHooks hooks;
    auto owned = std::make_unique<MemoryPort>();
    MemoryPort* port = owned.get();
    if (intake != 0) port->limit_intake(intake);
    replace_port(comm.pump, std::move(owned));

    enqueue_command(comm, typed, comm.pump);
    std::uint32_t now = 1000;
    auto pass = [&] {
        comm_thread_pass(comm, hooks, now);
        now += 50;
    };
    pass();
    for (int i = 0; i < 300 && !port->waiting_output().empty(); ++i) pass();
    // The controller answers; nothing more may follow.
    port->feed(">");
    pass();
    pass();

    const std::string wire = port->written();
    if (wire.empty() || wire.back() != '\r') std::abort();
    const std::string_view line(wire.data(), wire.size() - 1);
    if (line.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos) std::abort();
    if (line.size() > 251) std::abort();
    if (typed.substr(0, line.size()) != line) std::abort();
    return 0;
}
