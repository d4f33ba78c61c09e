// The pump and valve receive paths of a pass: any bytes from either device, at any
// initialisation stage, leave the links consistent and the thread running.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "comm/comm_thread.h"
#include "comm/memory_port.h"
#include "core/system.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quorvel;
    if (size < 2) return 0;
    System sys;
    auto pump = std::make_unique<MemoryPort>();
    auto valve = std::make_unique<MemoryPort>();
    MemoryPort* pump_port = pump.get();
    MemoryPort* valve_port = valve.get();
    replace_port(sys.comm.pump, std::move(pump));
    replace_port(sys.comm.valve, std::move(valve));
    sys.comm.init_stage = static_cast<InitStage>(data[0] % 3);
    const bool to_valve = data[1] & 1;
    enqueue_command(sys, "VM=1.00000000", sys.comm.pump);
    enqueue_command(sys, "cp", sys.comm.valve);

    // Chunks separated by 0xFF arrive on successive passes 50 ms apart.
    std::string_view rest(reinterpret_cast<const char*>(data + 2), size - 2);
    std::uint32_t now = 1000;
    while (true) {
        const std::size_t cut = rest.find('\xff');
        const std::string_view chunk = rest.substr(0, cut);
        (to_valve ? valve_port : pump_port)->feed(chunk);
        comm_thread_pass(sys, now);
        now += 50;
        if (cut == std::string_view::npos) break;
        rest.remove_prefix(cut + 1);
    }
    for (const DeviceLink* l : {&sys.comm.pump, &sys.comm.valve}) {
        if (l->rx_line.size() > kMaxLineLength || l->last_line.size() > kMaxLineLength)
            std::abort();
        if (l->last_line.find('\0') != std::string::npos) std::abort();
        if (l->countdown_ms < 0) std::abort();
    }
    return 0;
}
