#pragma once
// Pump size, gearbox and microlitres per revolution become the controller's scale (MUNIT)
// and the flow window of the pump size; volumes and rates in any unit become microlitres.
// Pure functions: any thread. PumpConfig, compute_calibration and apply_calibration: any
// thread (settings and calibration are read and replaced under one short lock).

#include <array>
#include <mutex>

#include "common/settings.h"

namespace quorvel {

struct CommState;

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

// The settings and the calibration computed from them, read and replaced under one short
// lock, so no reader ever sees one without the other.
class PumpConfig {
  public:
    PumpSettings settings() const {
        std::lock_guard lock(mutex_);
        return settings_;
    }
    PumpCalibration calibration() const {
        std::lock_guard lock(mutex_);
        return calibration_;
    }
    void set_settings(const PumpSettings& s) {
        std::lock_guard lock(mutex_);
        settings_ = s;
    }
    // Runs f(settings, calibration) as one step for every other reader and writer.
    template <class F>
    void update(F&& f) {
        std::lock_guard lock(mutex_);
        f(settings_, calibration_);
    }

  private:
    mutable std::mutex mutex_;
    PumpSettings settings_;
    PumpCalibration calibration_;
};

enum class VolumeUnit : int { Nanoliter = 0, Microliter = 1, Milliliter = 2 };
enum class TimeUnit : int { Second = 0, Minute = 1, Hour = 2 };

// The new record for these settings. Indices outside 0..3 leave the fields they would
// select as in `previous`.
PumpCalibration calibrate(const PumpSettings& s, bool use_measured,
                          const PumpCalibration& previous);

// Recomputes the calibration from the settings; sends nothing.
void compute_calibration(PumpConfig& config, int use_measured);
// compute_calibration, then queues MSEL=256.00000000 and the MUNIT line for the pump.
void apply_calibration(PumpConfig& config, CommState& comm, int use_measured);

// A rate in volume_unit per time_unit as microlitres per second (0 for an unknown unit).
double flow_to_ul_per_sec(double value, VolumeUnit volume_unit, TimeUnit time_unit);
// A volume in volume_unit as microlitres (0 for an unknown unit).
double volume_to_ul(double value, VolumeUnit volume_unit);

}  // namespace quorvel
