#include "common/numeric_text.h"

#include <gtest/gtest.h>

#include <climits>
#include <clocale>
#include <cstdio>

namespace quorvel {
namespace {

TEST(NumericText, AtofFollowsTheCConversion) {
    const struct {
        const char* text;
        double value;
    } cases[] = {
        {"12.5", 12.5},  {"  \t12.5abc", 12.5}, {"-3", -3.0}, {"+4", 4.0},
        {"1e3", 1000.0}, {".5", 0.5},           {"abc", 0.0}, {"", 0.0},
        {"-", 0.0},      {"+-2", 0.0},          {"7,5", 7.0}, {"0x10", 16.0},
    };
    for (const auto& c : cases) EXPECT_EQ(c_atof(c.text), c.value) << '"' << c.text << '"';
}

TEST(NumericText, AtoiSaturatesInsteadOfWrapping) {
    EXPECT_EQ(c_atoi(" 42x"), 42);
    EXPECT_EQ(c_atoi("2.5"), 2);
    EXPECT_EQ(c_atoi("-7"), -7);
    EXPECT_EQ(c_atoi("x1"), 0);
    EXPECT_EQ(c_atoi("99999999999999"), INT_MAX);
    EXPECT_EQ(c_atoi("-99999999999999"), INT_MIN);
}

TEST(NumericText, FormatFixedMatchesPrintfInTheCLocale) {
    const struct {
        double v;
        int width, precision;
    } cases[] = {
        {256.0, 4, 8}, {0.5, 4, 8},    {10.0, 4, 0},           {7.0, 3, 0},  {6.667, 3, 6},
        {3e-06, 1, 6}, {4.009f, 4, 4}, {100.55f, 3, 3},        {2.5, 2, 3},  {-100.0, 4, 8},
        {0.125, 0, 2}, {0.375, 0, 2},  {5048.115234375, 4, 8}, {1e20, 2, 4}, {-0.0, 4, 2}};
    for (const auto& c : cases) {
        char expected[512];
        std::snprintf(expected, sizeof expected, "%*.*f", c.width, c.precision, c.v);
        EXPECT_EQ(format_fixed(c.v, c.width, c.precision), expected);
    }
}

TEST(NumericText, IgnoresADecimalCommaLocale) {
    // Only meaningful where such a locale is installed; the conversions must not follow it.
    if (!std::setlocale(LC_NUMERIC, "de_DE.UTF-8") && !std::setlocale(LC_NUMERIC, "fr_FR.UTF-8")) {
        GTEST_SKIP() << "no decimal-comma locale installed";
    }
    EXPECT_EQ(format_fixed(2.5, 4, 8), "2.50000000");
    EXPECT_EQ(c_atof("2.5"), 2.5);
    std::setlocale(LC_NUMERIC, "C");
}

TEST(NumericText, StartsWithIgnoringCase) {
    EXPECT_TRUE(starts_with_nocase("Position 3", "pos"));
    EXPECT_TRUE(starts_with_nocase("POS=1", "pos"));
    EXPECT_FALSE(starts_with_nocase("po", "pos"));
    EXPECT_FALSE(starts_with_nocase("err", "pos"));
}

}  // namespace
}  // namespace quorvel
