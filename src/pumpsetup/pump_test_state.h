#pragma once
// The Test window's entries, kept while the window is closed and reopened. Window thread only.

#include "pumpsetup/calibration.h"

namespace quorvel {

struct TestState {
    double flow_value = 10.0;
    VolumeUnit flow_volume_unit = VolumeUnit::Microliter;
    TimeUnit flow_time_unit = TimeUnit::Minute;
    double fixed_volume = 10.0;
    VolumeUnit fixed_volume_unit = VolumeUnit::Microliter;
};

}  // namespace quorvel
