#include "pumpsetup/flow_check.h"

#include <gtest/gtest.h>

#include <limits>

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

TEST(TypedValues, PassThroughSinglePrecision) {
    EXPECT_EQ(narrow_typed_value("0.1"), 0.10000000149011612);
    EXPECT_EQ(narrow_typed_value("10"), 10.0);
    EXPECT_EQ(narrow_typed_value("abc"), 0.0);
    EXPECT_EQ(narrow_typed_value(" 2.5ml"), 2.5);
}

}  // namespace
}  // namespace quorvel
