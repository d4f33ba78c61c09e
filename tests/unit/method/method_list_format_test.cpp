#include "method/method_list_format.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace quorvel {
namespace {

// The expected line from (column, text) pieces on 119 blanks.
std::string line_of(std::initializer_list<std::pair<int, std::string>> pieces) {
    std::string s(kMethodLineWidth, ' ');
    for (const auto& [col, text] : pieces)
        s.replace(static_cast<std::size_t>(col), text.size(), text);
    return s;
}

TEST(MethodListLine, ColumnRules) {
    const struct {
        const char* name;
        MethodStep row;
        int index;
        std::string want;
    } cases[] = {
        {"PumpRow",
         {"Aspirate", "100.0000", "50.00", "2", "true"},
         2,
         line_of({{0, " 3"},
                  {5, "Aspirate"},
                  {16, "100.0000"},
                  {34, "50.00"},
                  {53, "2"},
                  {65, "Yes"}})},
        {"MultiValveRow",
         {"Multi Valve", "3", "CW", "0", "false"},
         11,
         line_of(
             {{0, "12"}, {5, "Multi Valve"}, {19, "pos.="}, {25, "3"}, {32, "dir.="}, {38, "CW"}})},
        {"MultiValveCcwAndShort",
         {"mUlti", "16", "CCW", "10", "y"},
         0,
         line_of({{0, " 1"},
                  {5, "mUlti"},
                  {19, "pos.="},
                  {25, "16"},
                  {32, "dir.="},
                  {38, "CCW"},
                  {52, "10"},
                  {65, "Yes"}})},
        {"MultiValveOddDirection",
         {"Multi Valve", "3", "Sx", "0", "f"},
         0,
         line_of({{0, " 1"},
                  {5, "Multi Valve"},
                  {19, "pos.="},
                  {25, "3"},
                  {32, "dir.="},
                  {38, "Short"}})},
        {"MultiValveZeroNoDirection",
         {"Multi Valve", "0", "", "0", "false"},
         0,
         line_of({{0, " 1"}, {5, "Multi Valve"}})},
        {"TwoPosB",
         {"2 Pos.Valve", "2", "Short", "0", "false"},
         98,
         line_of({{0, "99"}, {5, "2 Pos.Valve"}, {19, "pos.="}, {25, "B"}})},
        {"TwoPosA",
         {"2 pos", "1", "Short", "0", "false"},
         0,
         line_of({{0, " 1"}, {5, "2 pos"}, {19, "pos.="}, {25, "A"}})},
        {"MixIsAPumpRowHere",
         {"Mix", "3", "50", "0", "false"},
         0,
         line_of({{0, " 1"}, {5, "Mix"}, {23, "3"}, {37, "50"}})},
        {"EmptyRow", {}, 8, line_of({{0, " 9"}})},
    };
    for (const auto& k : cases) {
        const std::string got = method_row_line(k.row, k.index);
        EXPECT_EQ(got.size(), kMethodLineWidth) << k.name;
        EXPECT_EQ(got, k.want) << k.name;
    }
}

TEST(MethodListLine, LaterPiecesOverwriteWithTheirTrailingBlank) {
    // A 19-character amount reaches back over the action word; the blank after it stays.
    const std::string got = method_row_line({"Dispense", "1234567890123456789", "1", "0", "f"}, 0);
    EXPECT_EQ(got.substr(0, 25), " 1   1234567890123456789 ");
}

TEST(MethodListLine, SortedTextIsRowOrder) {
    MethodTable t{};
    t[0] = {"Wash", "1.0000", "1.00", "0", "false"};
    t[10] = {"Aspirate", "1.0000", "1.00", "0", "false"};
    std::vector<std::string> lines = render_method_list(t, 99);
    ASSERT_EQ(lines.size(), 99u);
    std::vector<std::string> sorted = lines;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, lines);
    EXPECT_EQ(render_method_row(t, 10), lines[10]);
    EXPECT_EQ(render_method_row(t, 99), "");
    EXPECT_TRUE(render_method_list(t, -1).empty());
}

}  // namespace
}  // namespace quorvel
