#include "flow_check.h"

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

double narrow_typed_value(const std::string& text) {
    return static_cast<double>(static_cast<float>(c_atof(text.substr(0, 49))));
}

}  // namespace quorvel
