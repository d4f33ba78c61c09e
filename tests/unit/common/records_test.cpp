// The pieces of a run record: digests, JSON strings and the appending file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "common/json_text.h"
#include "common/record_log.h"
#include "common/sha256.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;

TEST(Sha256, KnownDigestsWholeAndInPieces) {
    const struct {
        std::string bytes, digest;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        // 56 bytes: the length no longer fits the block, a second one closes the digest.
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000, 'a'),
         "41edece42d63e8d9bf515a9ba6932e1c20cbc9f5a5d134645adb5db1b9737ea3"},
    };
    for (const auto& k : cases) {
        EXPECT_EQ(sha256_hex(k.bytes), k.digest) << k.bytes.size() << " bytes";
        Sha256 pieces;
        for (std::size_t at = 0; at < k.bytes.size(); at += 7) pieces.update(k.bytes.substr(at, 7));
        EXPECT_EQ(pieces.hex_digest(), k.digest) << k.bytes.size() << " bytes in pieces";
    }
}

// Whatever a file name or a message holds, the record still parses as strict JSON in UTF-8.
TEST(JsonText, StringsAreEscapedAndAlwaysValidUtf8) {
    const struct {
        std::string in, out;
    } cases[] = {
        {"plain /path/m.pmf", R"("plain /path/m.pmf")"},
        {"say \"hi\" \\ now", R"("say \"hi\" \\ now")"},
        {"a\nb\rc\td", R"("a\nb\rc\td")"},
        {std::string("\x01\x1f\x7f", 3), R"("\u0001\u001f\u007f")"},
        {std::string("nul\0x", 5), R"("nul\u0000x")"},
        {"\xC3\xA9t\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80",
         "\"\xC3\xA9t\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80\""},
        // Latin-1, a cut sequence, an overlong slash, a surrogate, past U+10FFFF.
        {"caf\xE9", "\"caf\xEF\xBF\xBD\""},
        {"\xE2\x82", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},
        {"\xC0\xAF", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},
        {"\xED\xA0\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
        {"\xF4\x90\x80\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
    };
    for (const auto& k : cases) EXPECT_EQ(json_string(k.in), k.out) << k.in;
    EXPECT_EQ(json_number(1.0 / 0.0, 2), "null");
    EXPECT_EQ(json_number(-2.5, 3), "-2.500");
}

class RecordLogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string d = fs::temp_directory_path() / "record-log-XXXXXX";
        ASSERT_TRUE(::mkdtemp(d.data()));
        dir_ = d;
    }
    void TearDown() override { fs::remove_all(dir_); }
    fs::path dir_;
};

TEST_F(RecordLogTest, AppendsWholeLinesAfterWhatIsThere) {
    const fs::path file = dir_ / "runs.jsonl";
    std::ofstream(file) << "{\"type\":\"end\"}\n";
    std::string error;
    for (const char* line : {"{\"a\":1}", "{\"b\":2}"}) {
        RecordLog log;  // each run opens the file anew
        ASSERT_TRUE(log.open(file.string(), &error)) << error;
        ASSERT_TRUE(log.append(line, &error)) << error;
        ASSERT_TRUE(log.sync(&error)) << error;
    }
    std::ifstream in(file);
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    EXPECT_EQ(text, "{\"type\":\"end\"}\n{\"a\":1}\n{\"b\":2}\n");
}

// Nothing that could hold the run, or is not a file, is taken: a FIFO without a reader
// would block an ordinary open for ever.
TEST_F(RecordLogTest, RefusesWhatIsNotARegularFile) {
    ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0600), 0);
    fs::create_directory(dir_ / "folder");
    for (const char* name : {"fifo", "folder", "missing/runs.jsonl"}) {
        RecordLog log;
        std::string error;
        EXPECT_FALSE(log.open((dir_ / name).string(), &error)) << name;
        EXPECT_FALSE(error.empty()) << name;
        EXPECT_FALSE(log.is_open()) << name;
    }
}

}  // namespace
}  // namespace quorvel
