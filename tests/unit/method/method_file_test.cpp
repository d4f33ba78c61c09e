#include "method/method_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>

#include "unprivileged.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;

const std::string kHeader = ";...Tamsel pump method file...Do not edit!...\r\n";

TEST(MethodFileText, ReadingRules) {
    const std::string long_tail(200, 'z');
    const struct {
        const char* name;
        std::string bytes;
        int rows;
    } cases[] = {
        {"Empty", "", 0},
        {"HeaderOnly", kHeader, 0},
        {"CommentsOnly", ";a\r\n;b\r\n", 0},
        {"BlankLinesOnly", "\r\n\n\r\r\n", 0},
        {"OneStep", kHeader + "Aspirate|100|50|0|false\r\n", 1},
        {"LfOnly", "a|b|c|d|e\nf|g|h|i|j\n", 2},
        {"CrOnly", "a|b|c|d|e\rf|g|h|i|j\r", 2},
        {"CommentBetweenSteps", "a|b|c|d|e\r\n;note\r\nf|g|h|i|j\r\n", 2},
        {"SixFieldsLoadFive", "a|b|c|d|e|f\r\n", 1},
        {"FourFields", "a|b|c|d|e\r\na|b|c|d\r\n", 0},
        {"EmptySecondField", "a||c|d|e\r\n", 0},
        {"EmptyLastField", "a|b|c|d|\r\n", 0},
        {"LastLineUnterminated", "a|b|c|d|e\r\nf|g|h|i|j", 1},
        {"OnlyLineUnterminated", "a|b|c|d|e", 0},
        {"FieldOf20Refused", "a|b|c|d|" + std::string(20, 'e') + "\r\n", 0},
        {"FieldOf19Loads", "a|b|c|d|" + std::string(19, 'e') + "\r\n", 1},
        {"CutAt180BeforeSplit", "a|b|c|d|e|" + long_tail + "\r\n", 1},
        {"CutAt180LosesFifthField", std::string(176, 'a') + "|b|c|d|e\r\n", 0},
        {"NulEndsTheLine", std::string("a|b|c\0|d|e\r\n", 12), 0},
    };
    for (const auto& k : cases) {
        MethodTable t{};
        EXPECT_EQ(parse_method_text(t, k.bytes), k.rows) << k.name;
    }
}

TEST(MethodFileText, NinetyNineStepsLoadAHundredthIsRefused) {
    std::string text = kHeader;
    for (int i = 0; i < 99; ++i) text += "D|1|1|0|f\r\n";
    MethodTable t{};
    EXPECT_EQ(parse_method_text(t, text), 99);
    text += "D|1|1|0|f\r\n";
    EXPECT_EQ(parse_method_text(t, text), 0);
}

TEST(MethodFileText, AnySplitReadsAsTheWholeAndARefusedLineEndsReading) {
    for (const std::string& text : {kHeader + "a|b|c|d|e\r\n;x\r\nf|g|h|i|j\r\nk",
                                    "a|b|c|d|e|" + std::string(200, 'z') + "\r\nf|g|h|i|j\r"}) {
        for (std::size_t cut = 0; cut <= text.size(); ++cut) {
            MethodTable t{};
            MethodTextParser parser(t);
            parser.feed(std::string_view(text).substr(0, cut));
            parser.feed(std::string_view(text).substr(cut));
            ASSERT_EQ(parser.rows(), 2) << text << " cut at " << cut;
            ASSERT_EQ(t[1], (MethodStep{"f", "g", "h", "i", "j"})) << text << " cut at " << cut;
        }
    }
    MethodTable t{};
    MethodTextParser parser(t);
    for (int i = 0; i < kMethodRows; ++i) ASSERT_TRUE(parser.feed("D|1|1|0|f\r\n"));
    EXPECT_FALSE(parser.feed("D|1|1|0|f\r")) << "a 100th step is refused at its line end";
    EXPECT_FALSE(parser.feed("\n;more\r\n"));
    EXPECT_EQ(parser.rows(), 0);
}

TEST(MethodFileText, WritesExactBytes) {
    MethodTable t{};
    t[0] = MethodStep{"Aspirate", "100.0000", "50.00", "0", "false"};
    t[1] = MethodStep{"Multi Valve", "3", "CW", "5", "true"};
    EXPECT_EQ(format_method_text(t, 2),
              kHeader + "Aspirate|100.0000|50.00|0|false\r\nMulti Valve|3|CW|5|true\r\n");
    EXPECT_EQ(format_method_text(t, 0), kHeader);
    EXPECT_EQ(format_method_text(t, -4), kHeader);
}

class MethodFile : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("quorvel-pmf-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    fs::path dir_;
};

TEST_F(MethodFile, RoundTripIsByteForByteAndKeepsLoadedTexts) {
    MethodTable t{};
    t[0] = MethodStep{"aspirate", "100", "50", "2", "yes"};  // texts as a person wrote them
    t[1] = MethodStep{"Multi Valve", "3", "CW", "5", "true"};
    t[2] = MethodStep{"2 Pos.Valve", "2", "Short", "0", "false"};
    const fs::path p = dir_ / "run.pmf";
    ASSERT_EQ(write_method_file(t, p, 3), 1);
    MethodTable back{};
    ASSERT_EQ(read_method_file(back, p), 3);
    EXPECT_EQ(back, t);
    const fs::path again = dir_ / "again.pmf";
    ASSERT_EQ(write_method_file(back, again, 3), 1);
    std::ifstream a(p, std::ios::binary), b(again, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(a), {}),
              std::string(std::istreambuf_iterator<char>(b), {}));
}

TEST_F(MethodFile, EmptyMethodSavesButDoesNotOpen) {
    MethodTable t{};
    const fs::path p = dir_ / "empty.pmf";
    ASSERT_EQ(write_method_file(t, p, 0), 1);
    EXPECT_EQ(read_method_file(t, p), 0);
}

TEST_F(MethodFile, FailuresGiveZero) {
    MethodTable t{};
    EXPECT_EQ(read_method_file(t, dir_ / "missing.pmf"), 0);
    EXPECT_EQ(read_method_file(t, dir_), 0);
    EXPECT_EQ(write_method_file(t, dir_ / "no" / "such" / "dir.pmf", 0), 0);
    // A failed write leaves the earlier file whole.
    const fs::path p = dir_ / "keep.pmf";
    t[0] = MethodStep{"Wash", "1", "1", "0", "false"};
    ASSERT_EQ(write_method_file(t, p, 1), 1);
    fs::create_directory(dir_ / "locked");
    EXPECT_EQ(write_method_file(t, dir_ / "locked", 1), 0) << "a directory is not replaced";
    MethodTable back{};
    EXPECT_EQ(read_method_file(back, p), 1);
}

TEST_F(MethodFile, WhatIsNotAMethodFileGivesZeroAtOnce) {
    const fs::path fifo = dir_ / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    const fs::path huge = dir_ / "huge.pmf";
    std::ofstream(huge) << kHeader << "a|b|c|d|e\r\n";
    fs::resize_file(huge, std::uintmax_t{8} << 30);  // sparse: takes no room
    for (const fs::path& p : {fifo, dir_, fs::path("/dev/zero"), huge}) {
        MethodTable t{};
        EXPECT_EQ(read_method_file(t, p), 0) << p;
    }
}

// The operator is told why a file does not open: the reason follows "this file: ".
TEST_F(MethodFile, EveryRefusalSaysWhy) {
    std::string hundred = kHeader;
    for (int i = 0; i < 100; ++i) hundred += "D|1|1|0|f\r\n";
    const struct {
        const char* name;
        std::string bytes;  // the file's contents; unused for the first rows
        std::string reason;
    } cases[] = {
        {"missing.pmf", "", "No such file or directory"},
        {"folder", "", "it is a folder"},
        {"fifo", "", "it is not a regular file"},
        {"huge.pmf", "", "it is larger than 1048576 bytes"},
        {"unreadable.pmf", kHeader + "a|b|c|d|e\r\n", "Permission denied"},
        {"header.pmf", kHeader, "it holds no method steps"},
        {"unended.pmf", kHeader + "a|b|c|d|e",
         "it holds no method steps (its last line has no line end)"},
        // Line ends of every kind count once, blank lines too.
        {"four.pmf", kHeader + "a|b|c|d|e\r\n\r\na|b|c|d\r\n",
         "line 4 does not hold five texts joined by |"},
        {"empty.pmf", "a|b|c|d|e\na||c|d|e\n", "line 2 has an empty text"},
        {"long.pmf", "a|b|c|d|e\r\rx|b|c|d|" + std::string(20, 'e') + "\r",
         "line 3 has a text longer than 19 characters"},
        {"hundred.pmf", hundred, "line 101 is a 100th step (a method holds 99)"},
    };
    fs::create_directory(dir_ / "folder");
    ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0644), 0);
    std::ofstream(dir_ / "huge.pmf") << kHeader;
    fs::resize_file(dir_ / "huge.pmf", kMethodFileMaxBytes + 1);
    for (const auto& k : cases) {
        if (!k.bytes.empty()) std::ofstream(dir_ / k.name, std::ios::binary) << k.bytes;
    }
    fs::permissions(dir_ / "unreadable.pmf", fs::perms::owner_write);
    testing::run_unprivileged([&] {
        for (const auto& k : cases) {
            MethodTable t{};
            std::string reason;
            EXPECT_EQ(read_method_file(t, dir_ / k.name, &reason), 0) << k.name;
            EXPECT_EQ(reason, k.reason) << k.name;
        }
    });
}

TEST(MethodFileName, SaveAsForcesTheExtensionOnTheFileNameOnly) {
    const struct {
        const char* chosen;
        const char* saved;
    } cases[] = {
        {"/data/run", "/data/run.pmf"},
        {"/data/run.pmf", "/data/run.pmf"},
        {"/data/run.2.txt", "/data/run.pmf"},
        {"/data/a.b.pmf", "/data/a.b.pmf"},  // confirmed as it is: a.pmf is another method
        {"/data/.pmf", "/data/.pmf"},
        {"/data/v1.2/run", "/data/v1.2/run.pmf"},
        {"/data/v1.2/run.old", "/data/v1.2/run.pmf"},
        {"run", "run.pmf"},
    };
    for (const auto& k : cases) EXPECT_EQ(with_method_extension(k.chosen).string(), k.saved);
    // No length limit: a long folder and name come out whole.
    const std::string deep = "/" + std::string(200, 'd') + "/" + std::string(150, 'n');
    EXPECT_EQ(with_method_extension(deep + ".x").string(), deep + ".pmf");
}

}  // namespace
}  // namespace quorvel
