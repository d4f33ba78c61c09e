#pragma once
// Pump size, gearbox and microlitres per revolution become the controller's scale (MUNIT)
// and the flow window of the pump size; volumes and rates in any unit become microlitres.
// Pure functions: any thread. compute_calibration/apply_calibration: any thread (the
// record is replaced under System's configuration lock).

#include <array>

#include "common/settings.h"

namespace quorvel {

struct System;

struct PumpCalibration {
    double motor_units_per_ul = 0.0;
    double max_flow_ul_per_sec = 0.0;
    double min_flow_ul_per_sec = 0.0;
    double max_flow_ul_per_min = 0.0;
};

struct FlowLimit {
    double max_ul_per_sec;
    double min_ul_per_sec;
};

// Sizes 2 and 3 share the maximum; the minimum of size 3 is one tenth of size 2's.
inline constexpr std::array<FlowLimit, kPumpSizeCount> kFlowLimits{{
    {6.667, 0.000003},
    {166.667, 0.00008333},
    {833.334, 0.0004166},
    {833.334, 0.00004166},
}};

inline constexpr double kMotorStepsPerRevolution = 51200.0;
inline constexpr double kMselValue = 256.0;

enum class VolumeUnit : int { Nanoliter = 0, Microliter = 1, Milliliter = 2 };
enum class TimeUnit : int { Second = 0, Minute = 1, Hour = 2 };

// The new record for these settings. Indices outside 0..3 leave the fields they would
// select as in `previous`.
PumpCalibration calibrate(const PumpSettings& s, bool use_measured,
                          const PumpCalibration& previous);

// Recomputes System's calibration from its settings; sends nothing.
void compute_calibration(System& sys, int use_measured);
// compute_calibration, then queues MSEL=256.00000000 and the MUNIT line for the pump.
void apply_calibration(System& sys, int use_measured);

// A rate in volume_unit per time_unit as microlitres per second (0 for an unknown unit).
double flow_to_ul_per_sec(double value, VolumeUnit volume_unit, TimeUnit time_unit);
// A volume in volume_unit as microlitres (0 for an unknown unit).
double volume_to_ul(double value, VolumeUnit volume_unit);

}  // namespace quorvel
