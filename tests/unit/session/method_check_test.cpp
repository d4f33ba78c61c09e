#include "session/method_check.h"

#include <gtest/gtest.h>

namespace quorvel {
namespace {

PumpSettings size(int pump) {
    PumpSettings s;
    s.pump = pump;
    return s;
}

// One row as the only step, on a pump of the given size: what it is refused for, if at all.
TEST(MethodCheck, EachStepIsJudgedAgainstThePumpAndTheValve) {
    const struct {
        int pump;
        MethodStep row;
        const char* refusal;  // after "Step 1: "; nullptr: runs
    } cases[] = {
        // clang-format off
        // The maximum per minute of each size passes; a hundredth more does not.
        {0, {"Dispense", "1", "400.02", "0", "false"}, nullptr},
        {0, {"Dispense", "1", "400.03", "0", "false"},
            "the rate 400.03 uL/min is above the pump's limit of 400.02 uL/min."},
        {1, {"Aspirate", "100.0000", "10000.02", "0", "false"}, nullptr},
        {1, {"Aspirate", "100.0000", "999999", "0", "false"},
            "the rate 999999 uL/min is above the pump's limit of 10000.02 uL/min."},
        {2, {"Wash", "1", "0.025", "0", "false"}, nullptr},
        {2, {"Wash", "1", "0.02", "0", "false"},
            "the rate 0.02 uL/min is below the pump's minimum of 0.024996 uL/min."},
        {1, {"Wash", "1", "0.00", "0", "false"}, "the rate 0.00 uL/min must be above 0 uL/min."},
        {1, {"Wash", "1", "nan", "0", "false"}, "the rate nan uL/min is not a number."},
        // Volumes: whatever a move line can carry, sign included.
        {1, {"Dispense", "0", "50", "0", "false"}, nullptr},
        {1, {"Aspirate", "1e35", "50", "0", "false"}, nullptr},
        {1, {"Aspirate", "1e36", "50", "0", "false"},
            "the volume 1e36 uL is too large for a pump move."},
        {1, {"Dispense", "nan", "50", "0", "false"}, "the volume nan uL is not a number."},
        {1, {"Dispense", "-5", "50", "0", "false"}, "the volume -5 uL is negative."},
        {1, {"Aspirate", "-0", "50", "0", "false"}, "the volume -0 uL is negative."},
        // Waits, for every kind of step.
        {1, {"Dispense", "1", "50", "nan", "false"}, "the wait nan s is not a number."},
        {1, {"Multi Valve", "3", "CW", "inf", "false"}, "the wait inf s is not a finite number."},
        {1, {"2 Pos.Valve", "1", "Short", "-1", "false"}, "the wait -1 s is negative."},
        {1, {"", "", "", "5", ""}, nullptr},
        // Valve positions.
        {1, {"Multi Valve", "1", "Short", "0", "false"}, nullptr},
        {1, {"Multi Valve", "16", "CCW", "0", "false"}, nullptr},
        {1, {"Multi Valve", "0", "Short", "0", "false"},
            "the valve position 0 is not one of 1 to 16."},
        {1, {"Multi Valve", "17", "CW", "0", "false"},
            "the valve position 17 is not one of 1 to 16."},
        {1, {"2 Pos.Valve", "1", "Short", "0", "false"}, nullptr},
        {1, {"2 Pos.Valve", "3", "Short", "0", "false"},
            "the two-position valve position 3 is not 1 (A) or 2 (B)."},
        // Actions go by their first letter; a word that names none is not a wait.
        {1, {"multi", "4", "Short", "0", "false"}, nullptr},
        {1, {"Pause", "1", "50", "3", "false"},
            "\"Pause\" is not an action (Aspirate, Dispense, Wash, Multi Valve or 2 Pos.Valve)."},
        // clang-format on
    };
    for (const auto& k : cases) {
        MethodTable t{};
        t[0] = k.row;
        const auto got = check_method(t, 1, size(k.pump));
        const std::string want = k.refusal ? std::string("Step 1: ") + k.refusal : "(runs)";
        EXPECT_EQ(got.value_or("(runs)"), want)
            << k.row.action_text.str() << " | " << k.row.amount_text.str() << " | "
            << k.row.rate_text.str();
    }
}

TEST(MethodCheck, NamesTheFirstFailingStepAndLooksNoFurther) {
    MethodTable t{};
    t[0] = {"Dispense", "1", "50", "0", "false"};
    t[1] = {"Multi Valve", "17", "CW", "0", "false"};
    t[2] = {"Dispense", "1", "999999", "0", "false"};
    EXPECT_EQ(check_method(t, 3, size(1)).value_or(""),
              "Step 2: the valve position 17 is not one of 1 to 16.");
    EXPECT_EQ(check_method(t, 1, size(1)), std::nullopt);
    EXPECT_EQ(check_method(t, 0, size(1)), std::nullopt);
}

}  // namespace
}  // namespace quorvel
