#include "method/method_table.h"

#include <gtest/gtest.h>

#include <climits>


namespace quorvel {
namespace {


MethodStep row(const char* a, const char* b, const char* c, const char* d, const char* e) {
    return MethodStep{a, b, c, d, e};
}

TEST(StepCodec, Decode) {
    const struct {
        MethodStep in;
        StepAction action;
        double volume, rate;
        int wait_ms;
        bool event;
        int position;
        ValveDirection dir;
    } cases[] = {
        {row("Multi Valve", "3", "CCW", "0", "false"), StepAction::MultiValve, 0, 0, 0, false, 3,
         ValveDirection::CCW},
        {row("multi", "4", "CW", "1", "yes"), StepAction::MultiValve, 0, 0, 1000, true, 4,
         ValveDirection::CW},
        {row("M", "2", "Short", "0", "n"), StepAction::MultiValve, 0, 0, 0, false, 2,
         ValveDirection::Short},
        {row("Mix", "3", "short", "0", "f"), StepAction::MultiValve, 0, 0, 0, false, 3,
         ValveDirection::None},
        {row("Mix", "3", "", "0", "f"), StepAction::MultiValve, 0, 0, 0, false, 3,
         ValveDirection::None},
        {row("2 Pos.Valve", "2", "whatever", "5", "Y"), StepAction::TwoPosValve, 0, 0, 5000, true,
         2, ValveDirection::Short},
        {row("Dispense", "12.5", "30", "1", "false"), StepAction::Dispense, 12.5, 0.5, 1000, false,
         0, ValveDirection::None},
        {row("aspirate", "100", "50", "2", "yes"), StepAction::Aspirate, 100, 50.0f / 60.0, 2000,
         true, 0, ValveDirection::None},
        {row("wash", "-5", "-60", "2.5", "True"), StepAction::Wash, -5, -1, 2000, true, 0,
         ValveDirection::None},
        {row("Rinse", "7", "6", "x", ""), StepAction::None, 7, 0.1, 0, false, 0,
         ValveDirection::None},
        {row("", "", "", "", ""), StepAction::None, 0, 0, 0, false, 0, ValveDirection::None},
        {row("D", "1", "1", "99999999999", "t"), StepAction::Dispense, 1, 1.0 / 60, INT_MAX, true,
         0, ValveDirection::None},
    };
    for (const auto& k : cases) {
        const StepParams p = decode_row(k.in);
        SCOPED_TRACE(k.in.action_text.str() + "|" + k.in.amount_text.str() + "|" +
                     k.in.rate_text.str());
        EXPECT_EQ(p.action, k.action);
        EXPECT_EQ(p.volume_ul, k.volume);
        EXPECT_DOUBLE_EQ(p.rate_ul_per_sec, k.rate);
        EXPECT_EQ(p.wait_ms, k.wait_ms);
        EXPECT_EQ(p.event, k.event);
        EXPECT_EQ(p.valve_position, k.position);
        EXPECT_EQ(p.valve_direction, k.dir);
    }
}

TEST(StepCodec, RateIsNarrowedToSinglePrecisionBeforeDividing) {
    EXPECT_EQ(decode_row(row("D", "1", "0.1", "0", "f")).rate_ul_per_sec,
              static_cast<double>(0.1f) / 60.0);
}

TEST(StepCodec, EncodeGivesCanonicalTexts) {
    const struct {
        MethodStep in, out;
    } cases[] = {
        {row("aspirate", "100", "50", "2", "yes"),
         row("Aspirate", "100.0000", "50.00", "2", "true")},
        {row("Dispense", "12.5", "30", "1", "false"),
         row("Dispense", "12.5000", "30.00", "1", "false")},
        {row("W", "0.5", "1", "0", "no"), row("Wash", "0.5000", "1.00", "0", "false")},
        {row("Multi Valve", "3", "CCW", "0", "false"),
         row("Multi Valve", "3", "CCW", "0", "false")},
        {row("m", "4", "", "7", "Y"), row("Multi Valve", "4", "", "7", "true")},
        {row("2 p", "1", "CW", "3", "x"), row("2 Pos.Valve", "1", "Short", "3", "false")},
        {row("", "", "", "", ""), row("", "0.0000", "0.00", "0", "false")},
    };
    for (const auto& k : cases) {
        EXPECT_EQ(encode_row(decode_row(k.in), k.in), k.out) << k.in.action_text.str();
    }
}

TEST(StepCodec, NoFieldEverExceeds19Characters) {
    // "%2.4f" of 1e15 takes 21 characters: the value's text from the file stays instead of
    // being cut into a different number.
    const MethodStep from_file = row("Dispense", "1e15", "-1e18", "9999999999", "true");
    const MethodStep out = encode_row(decode_row(from_file), from_file);
    EXPECT_EQ(out.amount_text, "1e15");
    EXPECT_EQ(out.rate_text, "-1e18");
    EXPECT_LE(out.wait_text.size(), StepText::kMax);
    EXPECT_FALSE(volume_fits_field(1e15));
    EXPECT_TRUE(volume_fits_field(99999999999.0));
    EXPECT_FALSE(rate_fits_field(-1e16 / 60));
    StepText t(std::string(40, 'x'));
    EXPECT_EQ(t.size(), StepText::kMax);
}

TEST(RowOperations, InsertDuplicateDeleteGuards) {
    MethodTable t{};
    for (int r = 0; r < 98; ++r)
        t[r] = row("Dispense", std::to_string(r + 1).c_str(), "1", "0", "false");
    const MethodTable before = t;

    insert_row(t, 0);
    EXPECT_TRUE(t[0].action_text.empty());
    EXPECT_EQ(t[1], before[0]);
    EXPECT_EQ(t[98], before[97]);
    const MethodTable full = t;
    insert_row(t, 5);
    duplicate_row(t, 5);
    EXPECT_EQ(t, full) << "refused: the last row is no longer empty";

    delete_row(t, 98);
    EXPECT_EQ(t, full) << "the last row is never deleted";
    delete_row(t, 97);
    EXPECT_EQ(t[97], before[97]);
    EXPECT_TRUE(t[98].action_text.empty());

    delete_row(t, 0);
    EXPECT_EQ(t[0], before[0]);
    duplicate_row(t, 2);
    EXPECT_EQ(t[2], before[2]);
    EXPECT_EQ(t[3], before[2]);
    EXPECT_EQ(t[4], before[3]);

    MethodTable empty{};
    insert_row(empty, 98);
    insert_row(empty, -1);
    delete_row(empty, -1);
    EXPECT_EQ(empty, MethodTable{});
}

TEST(RowOperations, CompactKeepsValidStepsInOrder) {
    MethodTable t{};
    t[0] = row("Aspirate", "0", "50", "0", "false");
    t[1] = row("Wash", "10", "20", "0", "false");
    t[2] = row("", "", "", "", "");
    t[3] = row("Multi Valve", "4", "CW", "0", "false");
    t[4] = row("Multi Valve", "4", "", "0", "false");
    t[5] = row("2 Pos.Valve", "0", "Short", "0", "false");
    t[6] = row("Dispense", "-3", "-6", "0", "false");
    t[7] = row("Bogus", "1", "1", "1", "true");
    EXPECT_EQ(compact_method(t), 3);
    EXPECT_EQ(t[0], row("Wash", "10", "20", "0", "false"));
    EXPECT_EQ(t[1], row("Multi Valve", "4", "CW", "0", "false"));
    EXPECT_EQ(t[2], row("Dispense", "-3", "-6", "0", "false"));
    EXPECT_TRUE(t[3].action_text.empty());
}

}  // namespace
}  // namespace quorvel
