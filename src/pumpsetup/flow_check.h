#pragma once
// The Test window's flow check: a rate passes when it lies inside the flow window of the
// pump size; otherwise the operator is told the limit it broke. Any thread.

#include <optional>
#include <string>

#include "pumpsetup/calibration.h"

namespace quorvel {

// Where the check was made decides how the maximum is printed.
enum class FlowCheckPlace {
    FlowField,  // the flow-rate field: "%3.6f"
    Other,      // a unit list, Dispense or Aspirate: "%3.0f"
};

// The message for a rate outside the window, or nothing when it passes.
std::optional<std::string> flow_check(double rate_ul_per_sec, const PumpCalibration& c,
                                      FlowCheckPlace place);

// A typed number as the Test window stores it: converted, narrowed to single precision
// and widened again (0.1 is held as 0.10000000149011612). Not a number gives 0.
double narrow_typed_value(const std::string& text);

}  // namespace quorvel
