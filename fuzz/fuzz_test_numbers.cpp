// The Test window's number fields the way its Dispense and Aspirate buttons use them: the
// typed flow rate and fixed volume (any text), their units (an unknown index included),
// the pump size, the kind of move and the Enable box. A rate the flow check refuses
// queues nothing; otherwise a move queues both its lines or none, and a slew its one line
// or none, with the motion flag set exactly then; every queued line reads
// NAME=[-]digits.8digits and fits 51 characters. One bit skips the flow check, so that the
// command builders also meet rates no window lets through.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "comm/comm_state.h"
#include "comm/memory_port.h"
#include "comm/pump_commands.h"
#include "pumpsetup/calibration.h"
#include "pumpsetup/flow_check.h"

namespace {

using namespace quorvel;

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// NAME=[-]digits.8digits, at most 51 characters. negative: whether the sign is there.
bool well_formed(const std::string& line, std::string_view name, bool* negative) {
    if (line.size() > 51 || line.rfind(std::string(name) + "=", 0) != 0) return false;
    std::string_view v(line);
    v.remove_prefix(name.size() + 1);
    *negative = !v.empty() && v.front() == '-';
    if (*negative) v.remove_prefix(1);
    const std::size_t dot = v.find('.');
    if (dot == 0 || dot == std::string_view::npos || v.size() - dot - 1 != 8) return false;
    for (std::size_t i = 0; i < v.size(); ++i) {
        if (i != dot && !is_digit(v[i])) return false;
    }
    return true;
}

void check_refusal(const std::string& message) {
    const bool max = message.rfind("Maximum flow rate is ", 0) == 0;
    const bool min = message.rfind("Minimum flow rate is ", 0) == 0;
    const std::string_view tail = " ul./sec.";
    if ((!max && !min) || message.size() < tail.size() ||
        message.compare(message.size() - tail.size(), tail.size(), tail) != 0) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    const int pump_size = data[0] % 4;
    const auto flow_volume_unit = static_cast<VolumeUnit>(data[1] % 4);
    const auto flow_time_unit = static_cast<TimeUnit>((data[1] >> 2) % 4);
    const auto fixed_volume_unit = static_cast<VolumeUnit>((data[1] >> 4) % 4);
    const MoveKind kind = (data[2] & 1) ? MoveKind::Dispense : MoveKind::Aspirate;
    const bool enable = data[2] & 2;
    const bool skip_check = data[2] & 4;
    // The two field texts, separated by the first 0xFF.
    const std::string_view texts(reinterpret_cast<const char*>(data + 3), size - 3);
    const std::size_t cut = texts.find('\xff');
    const std::string flow_text(texts.substr(0, cut));
    const std::string fixed_text(cut == std::string_view::npos ? std::string_view{}
                                                               : texts.substr(cut + 1));

    PumpConfig config;
    CommState comm;
    PumpSettings s;
    s.pump = pump_size;
    config.set_settings(s);
    compute_calibration(config, 0);
    replace_port(comm.pump, std::make_unique<MemoryPort>());
    const PumpCalibration cal = config.calibration();

    // Leaving the flow-rate field, then pressing the button.
    const double rate =
        flow_to_ul_per_sec(narrow_typed_value(flow_text), flow_volume_unit, flow_time_unit);
    const std::optional<std::string> field = flow_check(rate, cal, FlowCheckPlace::FlowField);
    const std::optional<std::string> button = flow_check(rate, cal, FlowCheckPlace::Other);
    if (field.has_value() != button.has_value()) std::abort();
    if (field) {
        check_refusal(*field);
        check_refusal(*button);
        if (!skip_check) return 0;
    }

    const double fixed = narrow_typed_value(fixed_text);
    bool queued = false;
    if (enable) {
        const double volume =
            static_cast<double>(static_cast<float>(volume_to_ul(fixed, fixed_volume_unit)));
        queued = move_pump_relative(comm, rate, volume, kind);
    } else {
        queued = slew_pump(comm, rate, kind);
    }

    CommandQueue& q = comm.pump.queue;
    const int want = !queued ? 0 : enable ? 2 : 1;
    if (q.pending() != want || comm.pump_moving.load() != queued) std::abort();
    bool negative = false;
    if (enable && queued) {
        if (!well_formed(*q.pop(), "VM", &negative)) std::abort();
        if (!well_formed(*q.pop(), "MOVR", &negative)) std::abort();
    } else if (queued) {
        if (!well_formed(*q.pop(), "SLEW", &negative)) std::abort();
    }
    // An aspirate is the move that carries the sign.
    if (queued && kind == MoveKind::Aspirate && !negative) std::abort();
    return 0;
}
