#include "common/settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>

namespace quorvel {
namespace {

namespace fs = std::filesystem;

struct ParseCase {
    const char* name;
    std::string bytes;
    std::function<void(PumpSettings&)> expect_change;  // applied to the defaults
};

void PrintTo(const ParseCase& c, std::ostream* os) {
    *os << c.name;
}

class SettingsParse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(SettingsParse, ChangesOnlyWhatTheLineSays) {
    PumpSettings got;
    parse_setup_text(got, GetParam().bytes);
    PumpSettings want;
    GetParam().expect_change(want);
    EXPECT_EQ(got, want);
}

// The file arrives from the disk in pieces: a line split anywhere reads the same.
TEST_P(SettingsParse, ByteByByteGivesTheSame) {
    PumpSettings got;
    SetupTextParser parser(got);
    for (const char c : GetParam().bytes) parser.feed(std::string_view(&c, 1));
    PumpSettings want;
    GetParam().expect_change(want);
    EXPECT_EQ(got, want);
}

const std::string kBlanks68(68, ' ');

INSTANTIATE_TEST_SUITE_P(
    Lines, SettingsParse,
    ::testing::Values(
        ParseCase{"OnlyPump", "pump=2\r\n", [](PumpSettings& s) { s.pump = 2; }},
        ParseCase{"UpperCaseKey", "PUMP=3\r\n", [](PumpSettings& s) { s.pump = 3; }},
        ParseCase{"MixedCaseKey", "Com_Valve=4\n", [](PumpSettings& s) { s.com_valve = 4; }},
        ParseCase{"PortsAndGearbox", "com_pump=1\rcom_valve=2\rgearbox=3\r",
                  [](PumpSettings& s) {
                      s.com_pump = 1;
                      s.com_valve = 2;
                      s.gearbox = 3;
                  }},
        ParseCase{"LastOfTwoLinesWins", "pump=2\r\npump=0\r\n",
                  [](PumpSettings& s) { s.pump = 0; }},
        ParseCase{"MeasuredValueAnySize", "pump=0\r\npump_ul_1=101.2\r\n",
                  [](PumpSettings& s) {
                      s.pump = 0;
                      s.pump_ul[1] = 101.2f;
                  }},
        ParseCase{"MeasuredZeroRefused", "pump_ul_1=0\r\n", [](PumpSettings&) {}},
        ParseCase{"MeasuredNegativeRefused", "pump_ul_2=-5\r\n", [](PumpSettings&) {}},
        ParseCase{"MeasuredNotANumber", "pump_ul_1=abc\r\n", [](PumpSettings&) {}},
        ParseCase{"MeasuredInfinityRefused", "pump_ul_1=1e60\r\n", [](PumpSettings&) {}},
        ParseCase{"MeasuredIndexSeven", "pump_ul_7=5\r\n", [](PumpSettings&) {}},
        ParseCase{"MeasuredKeyWithoutValue", "pump_ul_1\r\n", [](PumpSettings&) {}},
        ParseCase{"EnableOne", "enable_pump_ul=1\r\n",
                  [](PumpSettings& s) { s.enable_pump_ul = 1; }},
        ParseCase{"EnableTwoIsOff", "enable_pump_ul=1\r\nenable_pump_ul=2\r\n",
                  [](PumpSettings&) {}},
        ParseCase{"LastLineWithoutEndIgnored", "pump=2\r\nenable_pump_ul=1",
                  [](PumpSettings& s) { s.pump = 2; }},
        ParseCase{"BlankLinesSkipped", "\r\n\r\n\n\rgearbox=2\r\n\r\n",
                  [](PumpSettings& s) { s.gearbox = 2; }},
        ParseCase{"LetterKeepsValue", "pump=x\r\ngearbox=\r\ncom_pump=9\r\n", [](PumpSettings&) {}},
        ParseCase{"UnknownKeyIgnored", "pumps=3\r\nvalve=1\r\n", [](PumpSettings&) {}},
        // The 79th character is the last one kept: the 5 after it would make 75.
        ParseCase{"LongLineCutAt79",
                  "pump_ul_1=" + kBlanks68 + "75" + std::string(20, '0') + "\r\n",
                  [](PumpSettings& s) { s.pump_ul[1] = 7.0f; }}),
    [](const auto& info) { return std::string(info.param.name); });

class SettingsFile : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("quorvel-settings-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string slurp(const fs::path& p) {
        std::ifstream in(p, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    fs::path dir_;
};

TEST_F(SettingsFile, MissingFileZeroesPumpAndGearboxOnly) {
    PumpSettings s;
    s.gearbox = 2;
    s.com_pump = 3;
    read_setup_file(s, dir_ / "setup.txt");
    EXPECT_EQ(s.pump, 0);
    EXPECT_EQ(s.gearbox, 0);
    EXPECT_EQ(s.com_pump, 3);
}

TEST_F(SettingsFile, ExistingFileWithoutPumpLineKeepsPumpOne) {
    std::ofstream(dir_ / "setup.txt") << "gearbox=1\r\n";
    PumpSettings s;
    read_setup_file(s, dir_ / "setup.txt");
    EXPECT_EQ(s.pump, 1);
    EXPECT_EQ(s.gearbox, 1);
}

TEST_F(SettingsFile, WhatIsNotASettingsFileReadsLikeAMissingOne) {
    const fs::path fifo = dir_ / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    const fs::path huge = dir_ / "huge.txt";
    std::ofstream(huge) << "pump=2\r\n";
    fs::resize_file(huge, std::uintmax_t{4} << 30);  // sparse: takes no room
    for (const fs::path& p : {fifo, dir_, fs::path("/dev/zero"), huge}) {
        PumpSettings s;
        s.gearbox = 2;
        s.com_pump = 3;
        read_setup_file(s, p);
        EXPECT_EQ(s.pump, 0) << p;
        EXPECT_EQ(s.gearbox, 0) << p;
        EXPECT_EQ(s.com_pump, 3) << p;
    }
}

TEST_F(SettingsFile, WritesExactBytes) {
    PumpSettings s;
    s.pump = 0;
    EXPECT_EQ(format_setup_text(s, false, false),
              "gearbox=0\r\npump=0\r\npump_ul_0=4.0090\r\npump_ul_1=100.5500\r\n"
              "pump_ul_2=628.4360\r\npump_ul_3=750.0460\r\nenable_pump_ul=0\r\n");
    s.com_pump = 3;
    s.com_valve = 2;
    const std::string pump_only = format_setup_text(s, true, false);
    EXPECT_EQ(pump_only.rfind("com_pump=3\r\ngearbox=0\r\n", 0), 0u);
    EXPECT_EQ(pump_only.find("com_valve"), std::string::npos);
    EXPECT_EQ(format_setup_text(s, false, true).rfind("com_valve=2\r\ngearbox", 0), 0u);
}

TEST_F(SettingsFile, RoundTripKeepsRecordAtFourDecimals) {
    PumpSettings s;
    s.com_pump = 1;
    s.com_valve = 4;
    s.gearbox = 3;
    s.pump = 2;
    s.enable_pump_ul = 1;
    s.pump_ul = {3.5f, 120.25f, 600.125f, 800.0625f};
    const fs::path file = dir_ / "setup.txt";
    ASSERT_TRUE(write_setup_file(s, file, true, true));
    PumpSettings back;
    read_setup_file(back, file);
    EXPECT_EQ(back, s);
    // Written again unchanged: stable under repeated start and exit.
    ASSERT_TRUE(write_setup_file(back, file, true, true));
    EXPECT_EQ(slurp(file), format_setup_text(s, true, true));
}

TEST_F(SettingsFile, ReplacesWholeFileAndLeavesNoTemporary) {
    const fs::path file = dir_ / "setup.txt";
    std::ofstream(file) << std::string(5000, 'x');
    PumpSettings s;
    ASSERT_TRUE(write_setup_file(s, file, false, false));
    EXPECT_EQ(slurp(file), format_setup_text(s, false, false));
    int entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir_)) ++entries;
    EXPECT_EQ(entries, 1);
}

TEST_F(SettingsFile, UnwritableDirectoryFailsWithoutTouchingAnything) {
    PumpSettings s;
    EXPECT_FALSE(write_setup_file(s, dir_ / "missing" / "setup.txt", false, false));
    EXPECT_FALSE(fs::exists(dir_ / "missing"));
}

}  // namespace
}  // namespace quorvel
