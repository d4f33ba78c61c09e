#pragma once
// Whether the pump and the valve can do every step of a method, judged before it runs. A
// method comes from a file as often as from the Method window, and the window's limits
// (the flow window of the pump size, the valve's positions) hold only for what is typed.
// Any thread, on records the caller owns.

#include <optional>
#include <string>

#include "method/method_table.h"
#include "pumpsetup/calibration.h"

namespace quorvel {

// The first of rows 0..step_count-1 that cannot run, as "Step <row + 1>: <why>." with the
// row's own texts and units; nothing when every step can run. The rate limits are those of
// `calibration` (the pump size in force).
std::optional<std::string> check_method(const MethodTable& table, int step_count,
                                        const PumpCalibration& calibration);
// The same with the flow limits of the pump size in `settings`.
std::optional<std::string> check_method(const MethodTable& table, int step_count,
                                        const PumpSettings& settings);

}  // namespace quorvel
