#pragma once
// The Test window's checks: a rate passes when it lies inside the flow window of the pump
// size, otherwise the operator is told the limit it broke; a fixed volume passes when a move
// can carry it. Any thread.

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

// What the operator is told when a fixed volume is refused (caption "Error").
inline constexpr const char* kFixedVolumeRefused =
    "The fixed volume must be at least 0 and less than 1e36 ul.";

// The volume in microlitres a fixed-volume move may carry, or nothing when it cannot be one:
// not a number, infinite, negative (the move's direction is the button's, not the sign's),
// or too long for the controller's move line with the aspirate's minus sign, that is from
// 1e36 on. -0 comes back as 0, which carries no sign of its own.
std::optional<double> accepted_fixed_volume(double volume_ul);

// A typed number as the Test window stores it: converted, narrowed to single precision
// and widened again (0.1 is held as 0.10000000149011612). Not a number gives 0.
double narrow_typed_value(const std::string& text);

}  // namespace quorvel
