#include "flow_check.h"

#include <cmath>

#include "comm/pump_commands.h"
#include "common/numeric_text.h"

namespace quorvel {

std::optional<std::string> flow_check(double rate_ul_per_sec, const PumpCalibration& c,
                                      FlowCheckPlace place) {
    if (rate_ul_per_sec >= c.min_flow_ul_per_sec && rate_ul_per_sec <= c.max_flow_ul_per_sec) {
        return std::nullopt;
    }
    if (rate_ul_per_sec > c.max_flow_ul_per_sec) {
        const std::string max = place == FlowCheckPlace::FlowField
                                    ? format_fixed(c.max_flow_ul_per_sec, 3, 6)
                                    : format_fixed(c.max_flow_ul_per_sec, 3, 0);
        return "Maximum flow rate is " + max + " ul./sec.";
    }
    // Below the minimum, and also a rate that is not a number at all.
    return "Minimum flow rate is " + format_fixed(c.min_flow_ul_per_sec, 1, 6) + " ul./sec.";
}

std::optional<double> accepted_fixed_volume(double volume_ul) {
    if (!std::isfinite(volume_ul) || volume_ul < 0.0) return std::nullopt;
    if (volume_ul == 0.0) volume_ul = 0.0;  // "MOVR=--0.00000000" otherwise
    // The same volume goes out with or without the sign, so one limit serves both moves.
    if (format_pump_value(PumpCommand::MOVR, volume_ul, true).empty()) return std::nullopt;
    return volume_ul;
}

double narrow_typed_value(const std::string& text) {
    return static_cast<double>(static_cast<float>(c_atof(text.substr(0, 49))));
}

}  // namespace quorvel
