#include "method_check.h"

#include <cmath>

#include "common/numeric_text.h"
#include "pumpsetup/flow_check.h"

namespace quorvel {
namespace {

constexpr int kMultiPositions = 16;

// A small rate with the digits it needs and no trailing zeros: the minimums are far below
// the two decimals a row shows.
std::string small_rate(double ul_per_min) {
    std::string s = format_fixed(ul_per_min, 0, 7);
    while (s.back() == '0') s.pop_back();
    if (s.back() == '.') s.pop_back();
    return s;
}

std::optional<std::string> volume_fault(const MethodStep& row, double volume_ul) {
    const std::string volume = "the volume " + row.amount_text.str() + " uL";
    if (std::isnan(volume_ul)) return volume + " is not a number";
    // -0 counts as negative: an aspirate's move line cannot carry its sign.
    if (std::signbit(volume_ul)) return volume + " is negative";
    if (!accepted_fixed_volume(volume_ul)) return volume + " is too large for a pump move";
    return std::nullopt;
}

// VM=0 would start a move that never ends; outside the pump size's window the controller
// cannot keep the rate.
std::optional<std::string> rate_fault(const MethodStep& row, double rate_ul_per_sec,
                                      const PumpCalibration& c) {
    const std::string rate = "the rate " + row.rate_text.str() + " uL/min";
    if (std::isnan(rate_ul_per_sec)) return rate + " is not a number";
    if (rate_ul_per_sec <= 0.0) return rate + " must be above 0 uL/min";
    if (rate_ul_per_sec > c.max_flow_ul_per_sec)
        return rate + " is above the pump's limit of " + format_fixed(c.max_flow_ul_per_min, 0, 2) +
               " uL/min";
    if (rate_ul_per_sec < c.min_flow_ul_per_sec)
        return rate + " is below the pump's minimum of " +
               small_rate(c.min_flow_ul_per_sec * 60.0) + " uL/min";
    return std::nullopt;
}

// The row's text rather than the decoded milliseconds: whole seconds hide what is wrong
// ("nan" and "-0.5" both decode to a wait of 0).
std::optional<std::string> wait_fault(const MethodStep& row) {
    const double seconds = c_atof(row.wait_text.str());
    const std::string wait = "the wait " + row.wait_text.str() + " s";
    if (std::isnan(seconds)) return wait + " is not a number";
    if (std::isinf(seconds)) return wait + " is not a finite number";
    if (seconds < 0.0) return wait + " is negative";
    return std::nullopt;
}

std::optional<std::string> step_fault(const MethodStep& row, const PumpCalibration& c) {
    const StepParams p = decode_row(row);
    switch (p.action) {
        case StepAction::Aspirate:
        case StepAction::Dispense:
        case StepAction::Wash:
            if (auto f = volume_fault(row, p.volume_ul)) return f;
            if (auto f = rate_fault(row, p.rate_ul_per_sec, c)) return f;
            break;
        case StepAction::MultiValve:
            if (p.valve_position < 1 || p.valve_position > kMultiPositions)
                return "the valve position " + row.amount_text.str() + " is not one of 1 to 16";
            break;
        case StepAction::TwoPosValve:
            // Any position but 1 would turn the valve to B.
            if (p.valve_position != 1 && p.valve_position != 2)
                return "the two-position valve position " + row.amount_text.str() +
                       " is not 1 (A) or 2 (B)";
            break;
        case StepAction::None:
            // An empty row is a plain wait; a word the program does not know is no such thing.
            if (!row.action_text.empty())
                return "\"" + row.action_text.str() +
                       "\" is not an action (Aspirate, Dispense, Wash, Multi Valve or "
                       "2 Pos.Valve)";
            break;
    }
    return wait_fault(row);
}

}  // namespace

std::optional<std::string> check_method(const MethodTable& table, int step_count,
                                        const PumpCalibration& calibration) {
    const int rows = step_count < kMethodRows ? step_count : kMethodRows;
    for (int r = 0; r < rows; ++r) {
        if (auto fault = step_fault(table[static_cast<std::size_t>(r)], calibration))
            return "Step " + std::to_string(r + 1) + ": " + *fault + ".";
    }
    return std::nullopt;
}

std::optional<std::string> check_method(const MethodTable& table, int step_count,
                                        const PumpSettings& settings) {
    return check_method(table, step_count,
                        calibrate(settings, settings.enable_pump_ul != 0, PumpCalibration{}));
}

}  // namespace quorvel
