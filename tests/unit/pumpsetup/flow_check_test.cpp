#include "pumpsetup/flow_check.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>

namespace quorvel {
namespace {

PumpCalibration for_size(int pump) {
    PumpSettings s;
    s.pump = pump;
    return calibrate(s, false, {});
}

TEST(FlowCheck, MessagesByPlace) {
    const struct {
        int size;
        double rate;
        FlowCheckPlace place;
        const char* message;  // nullptr: passes
    } cases[] = {
        {0, 8.333, FlowCheckPlace::FlowField, "Maximum flow rate is 6.667000 ul./sec."},
        {0, 166.67, FlowCheckPlace::Other, "Maximum flow rate is   7 ul./sec."},
        {0, 0.0, FlowCheckPlace::FlowField, "Minimum flow rate is 0.000003 ul./sec."},
        {0, 0.0, FlowCheckPlace::Other, "Minimum flow rate is 0.000003 ul./sec."},
        {1, 0.0, FlowCheckPlace::FlowField, "Minimum flow rate is 0.000083 ul./sec."},
        {2, 900.0, FlowCheckPlace::FlowField, "Maximum flow rate is 833.334000 ul./sec."},
        {2, 900.0, FlowCheckPlace::Other, "Maximum flow rate is 833 ul./sec."},
        {0, 6.667, FlowCheckPlace::Other, nullptr},
        {0, 0.000003, FlowCheckPlace::Other, nullptr},
        {1, 10.0 / 60.0, FlowCheckPlace::FlowField, nullptr},
        {1, -1.0, FlowCheckPlace::Other, "Minimum flow rate is 0.000083 ul./sec."},
    };
    for (const auto& k : cases) {
        const auto got = flow_check(k.rate, for_size(k.size), k.place);
        if (k.message) {
            EXPECT_EQ(got.value_or("(passes)"), k.message) << k.size << " " << k.rate;
        } else {
            EXPECT_FALSE(got) << *got;
        }
    }
}

TEST(FlowCheck, NotANumberNeverPasses) {
    EXPECT_TRUE(
        flow_check(std::numeric_limits<double>::quiet_NaN(), for_size(1), FlowCheckPlace::Other));
}

// The refusal promises "at least 0 and less than 1e36 ul."; the limit is where the
// aspirate's move line stops fitting.
TEST(FixedVolume, WhatAMoveCanCarry) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double below_limit = std::nextafter(1e36, 0.0);
    const struct {
        double volume;
        std::optional<double> accepted;
    } cases[] = {
        {1.5, 1.5}, {0.0, 0.0},    {-0.0, 0.0}, {below_limit, below_limit},
        {-5.0, {}}, {-1e-300, {}}, {nan, {}},   {inf, {}},
        {-inf, {}}, {1e36, {}},    {1e40, {}},
    };
    for (const auto& k : cases) {
        const std::optional<double> got = accepted_fixed_volume(k.volume);
        EXPECT_EQ(got, k.accepted) << k.volume;
        // -0 comes back as 0, or Aspirate would send "MOVR=--0.00000000".
        if (got) {
            EXPECT_FALSE(std::signbit(*got)) << k.volume;
        }
    }
}

TEST(TypedValues, PassThroughSinglePrecision) {
    EXPECT_EQ(narrow_typed_value("0.1"), 0.10000000149011612);
    EXPECT_EQ(narrow_typed_value("10"), 10.0);
    EXPECT_EQ(narrow_typed_value("abc"), 0.0);
    EXPECT_EQ(narrow_typed_value(" 2.5ml"), 2.5);
}

}  // namespace
}  // namespace quorvel
