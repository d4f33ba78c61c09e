#include "calibration.h"

#include <cmath>

#include "comm/pump_commands.h"
#include "comm/comm_state.h"

namespace quorvel {
namespace {

constexpr std::array<double, 3> kVolumeExponents{-3.0, 0.0, 3.0};
constexpr std::array<double, 3> kTimeSeconds{1.0, 60.0, 3600.0};

bool valid_index(int i, int count) {
    return i >= 0 && i < count;
}

}  // namespace

PumpCalibration calibrate(const PumpSettings& s, bool use_measured,
                          const PumpCalibration& previous) {
    PumpCalibration c = previous;
    if (valid_index(s.pump, kPumpSizeCount) && valid_index(s.gearbox, kGearboxCount)) {
        const float divisor = use_measured ? s.pump_ul[s.pump] : NominalUlPerRev[s.pump];
        if (divisor > 0.0f) {
            // Widened from the single-precision tables on purpose: the controller has always
            // been given the value of the float ratio (5048.11523438, not 5048.1152).
            c.motor_units_per_ul = kMotorStepsPerRevolution *
                                   static_cast<double>(GearRatios[s.gearbox]) /
                                   static_cast<double>(divisor);
        }
    }
    if (valid_index(s.pump, kPumpSizeCount)) {
        c.max_flow_ul_per_sec = kFlowLimits[s.pump].max_ul_per_sec;
        c.min_flow_ul_per_sec = kFlowLimits[s.pump].min_ul_per_sec;
    }
    c.max_flow_ul_per_min = c.max_flow_ul_per_sec * 60.0;
    return c;
}

namespace {

PumpCalibration recompute(PumpConfig& config, int use_measured) {
    PumpCalibration result;
    config.update([&](PumpSettings& s, PumpCalibration& c) {
        c = calibrate(s, use_measured != 0, c);
        result = c;
    });
    return result;
}

}  // namespace

void compute_calibration(PumpConfig& config, int use_measured) {
    recompute(config, use_measured);
}

void apply_calibration(PumpConfig& config, CommState& comm, int use_measured) {
    // The value computed here is the one sent, even if the other thread recalibrates
    // in between.
    const PumpCalibration c = recompute(config, use_measured);
    send_pump_value(comm, PumpCommand::MSEL, kMselValue, false);
    send_pump_value(comm, PumpCommand::MUNIT, c.motor_units_per_ul, false);
}

double flow_to_ul_per_sec(double value, VolumeUnit volume_unit, TimeUnit time_unit) {
    const int v = static_cast<int>(volume_unit);
    const int t = static_cast<int>(time_unit);
    if (!valid_index(v, 3) || !valid_index(t, 3)) return 0.0;
    const double product = std::pow(10.0, kVolumeExponents[v]) * value;
    return product / kTimeSeconds[t];
}

double volume_to_ul(double value, VolumeUnit volume_unit) {
    const int v = static_cast<int>(volume_unit);
    if (!valid_index(v, 3)) return 0.0;
    return std::pow(10.0, kVolumeExponents[v]) * value;
}

}  // namespace quorvel
