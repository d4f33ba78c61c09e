#include "common/atomic_file.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <tuple>

#include "unprivileged.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;
using Names = std::set<std::string>;
using quorvel::testing::hand_over;

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void put(const fs::path& p, const std::string& bytes, mode_t mode) {
    std::ofstream(p, std::ios::binary) << bytes;
    ::chmod(p.c_str(), mode);
}

struct stat info(const fs::path& p) {
    struct stat st {};
    ::lstat(p.c_str(), &st);
    return st;
}

Names names(const fs::path& dir) {
    Names out;
    for (const auto& e : fs::directory_iterator(dir)) out.insert(e.path().filename().string());
    return out;
}

// Every case runs through the default, which must be the unnamed temporary, and through
// the named one that filesystems without O_TMPFILE get.
class AtomicFile : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("quorvel-atomic-" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        hand_over(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    bool save(const fs::path& p, std::string_view bytes, std::string* error = nullptr) {
        return GetParam() ? write_file_atomically(p, bytes, error)
                          : write_file_atomically(p, bytes, error, AtomicWriteOptions{false});
    }
    fs::path dir_;
};

INSTANTIATE_TEST_SUITE_P(Temporaries, AtomicFile, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Unnamed" : "Named"; });

TEST_P(AtomicFile, KeepsModeAndOwnerAndTakesTheLongestName) {
    // The temporary beside a file of the longest name the folder allows must be cut to fit.
    const std::string longest(static_cast<std::size_t>(::pathconf(dir_.c_str(), _PC_NAME_MAX)),
                              'n');
    const mode_t mask = ::umask(027);
    const bool created = save(dir_ / longest, "abc");
    ::umask(mask);
    ASSERT_TRUE(created);
    EXPECT_EQ(info(dir_ / longest).st_mode & 07777, 0640u);

    put(dir_ / "old", std::string(5000, 'x'), 0604);
    hand_over(dir_ / "old");  // root saving a user's file leaves it the user's
    const struct stat before = info(dir_ / "old");
    std::string error;
    ASSERT_TRUE(save(dir_ / "old", "short", &error)) << error;
    const struct stat after = info(dir_ / "old");
    EXPECT_EQ(slurp(dir_ / "old"), "short");
    EXPECT_EQ(std::tie(after.st_mode, after.st_uid, after.st_gid),
              std::tie(before.st_mode, before.st_uid, before.st_gid));
    EXPECT_EQ(names(dir_), (Names{longest, "old"}));
}

TEST_P(AtomicFile, LinksAreFollowedAndStay) {
    fs::create_directories(dir_ / "a");
    fs::create_directories(dir_ / "b");
    put(dir_ / "b" / "real.txt", "old", 0640);
    // Each relative target counts from its own link's folder, not from the first link's.
    fs::create_symlink("../b/link2", dir_ / "a" / "link1");
    fs::create_symlink("real.txt", dir_ / "b" / "link2");
    fs::create_symlink(dir_ / "b" / "made.txt", dir_ / "dangling");
    std::string error;
    ASSERT_TRUE(save(dir_ / "a" / "link1", "new", &error)) << error;
    ASSERT_TRUE(save(dir_ / "dangling", "made", &error)) << error;
    EXPECT_EQ(slurp(dir_ / "b" / "real.txt"), "new");
    EXPECT_EQ(info(dir_ / "b" / "real.txt").st_mode & 07777, 0640u);
    EXPECT_EQ(slurp(dir_ / "b" / "made.txt"), "made");
    EXPECT_TRUE(fs::is_symlink(dir_ / "a" / "link1") && fs::is_symlink(dir_ / "b" / "link2"));
    EXPECT_EQ(names(dir_ / "b"), (Names{"link2", "made.txt", "real.txt"}));

    fs::create_symlink("loop2", dir_ / "loop1");
    fs::create_symlink("loop1", dir_ / "loop2");
    EXPECT_FALSE(save(dir_ / "loop1", "x", &error));
    EXPECT_EQ(error, std::strerror(ELOOP));
}

// In a sticky world-writable folder such as /tmp, another user's link must not send a save
// to a file the saving user may write; the kernel's protected-symlink rule decides.
TEST_P(AtomicFile, ALinkPlantedInASharedFolderIsNotFollowed) {
    if (::geteuid() != 0) GTEST_SKIP() << "giving a link to another user needs root";
    constexpr uid_t kOther = 65534, kFolderOwner = 65533;
    const struct {
        const char* name;
        mode_t folder_mode;
        uid_t folder_owner, link_owner;
        bool followed;
    } cases[] = {
        {"SharedOthersLink", 01777, 0, kOther, false},
        {"SharedOwnersOthersLink", 01777, kFolderOwner, kOther, false},
        {"SharedOwnLink", 01777, kFolderOwner, 0, true},
        {"SharedFolderOwnersLink", 01777, kFolderOwner, kFolderOwner, true},
        {"StickyNotWorldWritable", 01775, 0, kOther, true},
        {"WorldWritableNotSticky", 0777, 0, kOther, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path folder = dir_ / c.name, target = dir_ / (c.name + std::string(".target"));
        put(target, "mine", 0644);
        fs::create_directory(folder);
        fs::create_symlink(target, folder / "setup.txt");
        ASSERT_EQ(::lchown((folder / "setup.txt").c_str(), c.link_owner, c.link_owner), 0);
        ASSERT_EQ(::chown(folder.c_str(), c.folder_owner, c.folder_owner), 0);
        ASSERT_EQ(::chmod(folder.c_str(), c.folder_mode), 0);
        std::string error;
        EXPECT_EQ(save(folder / "setup.txt", "new", &error), c.followed) << error;
        EXPECT_EQ(error, c.followed ? ""
                                    : "setup.txt is a link in a shared folder (" + folder.string() +
                                          ") owned by another user; it is not followed");
        EXPECT_EQ(slurp(target), c.followed ? "new" : "mine");
        EXPECT_TRUE(fs::is_symlink(folder / "setup.txt"));
        EXPECT_EQ(names(folder), Names{"setup.txt"});
    }
}

// The save runs in a child whose files may not pass 4 kB: killed half-way through it with the
// unnamed temporary, failing with the named one (which cannot vanish with a killed writer).
TEST_P(AtomicFile, FailedOrKilledSaveLeavesTheOldFileAndNothingElse) {
    put(dir_ / "setup.txt", "old", 0644);
    const bool killed = GetParam();
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const rlimit no_core{0, 0}, small{4096, 4096};
        ::setrlimit(RLIMIT_CORE, &no_core);
        if (!killed) ::signal(SIGXFSZ, SIG_IGN);
        ::setrlimit(RLIMIT_FSIZE, &small);
        std::string error;
        const bool saved = save(dir_ / "setup.txt", std::string(65536, 'y'), &error);
        ::_exit(!saved && error == std::strerror(EFBIG) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(killed ? WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ
                       : WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "status " << status;
    EXPECT_EQ(slurp(dir_ / "setup.txt"), "old");
    EXPECT_EQ(names(dir_), Names{"setup.txt"});
}

// Refused, a file stays as it was and nothing is left beside it; a folder that refuses a new
// file but not the file itself has it rewritten in place.
TEST_P(AtomicFile, WhatIsRefusedAndWhatIsRewrittenInPlace) {
    const struct {
        const char* name;
        mode_t folder_mode;
        mode_t file_mode;    // with the file's type; 0: no file yet
        bool users;          // folder and file belong to the user who saves
        const char* reason;  // nullptr: saved
    } cases[] = {
        {"Fifo", 0755, S_IFIFO | 0644, true, "Not a regular file"},  // nor waits for a reader
        {"Folder", 0755, S_IFDIR | 0755, true, "Is a directory"},
        {"ReadOnlyFile", 0755, S_IFREG | 0444, true, "Permission denied"},
        {"ReadOnlyFolderWritableFile", 0555, S_IFREG | 0640, true, nullptr},
        {"ReadOnlyFolderNewFile", 0555, 0, true, "Permission denied"},
        // A sticky folder such as /tmp refuses the rename over someone else's file.
        {"StickyFolderOthersFile", 01777, S_IFREG | 0666, false, nullptr},
    };
    for (const auto& c : cases) {
        const fs::path file = dir_ / c.name / "f";
        fs::create_directory(dir_ / c.name);
        if (S_ISREG(c.file_mode)) put(file, "old contents", c.file_mode & 07777);
        if (S_ISDIR(c.file_mode)) fs::create_directory(file);
        if (S_ISFIFO(c.file_mode)) ::mkfifo(file.c_str(), 0);
        ::chmod(file.c_str(), c.file_mode & 07777);  // whatever the umask
        if (c.users && c.file_mode != 0) hand_over(file);
        if (c.users) hand_over(dir_ / c.name);
        ::chmod((dir_ / c.name).c_str(), c.folder_mode);
    }
    quorvel::testing::run_unprivileged([&] {
        for (const auto& c : cases) {
            const fs::path file = dir_ / c.name / "f";
            std::string error;
            EXPECT_EQ(save(file, "new", &error), c.reason == nullptr) << c.name << ": " << error;
            EXPECT_EQ(error, c.reason ? c.reason : "") << c.name;
            EXPECT_EQ(info(file).st_mode, c.file_mode) << c.name;  // 0: nothing there
            if (S_ISREG(c.file_mode)) {
                EXPECT_EQ(slurp(file), c.reason ? "old contents" : "new") << c.name;
            }
            EXPECT_EQ(names(dir_ / c.name), c.file_mode ? Names{"f"} : Names{}) << c.name;
        }
    });
    for (const auto& c : cases) ::chmod((dir_ / c.name).c_str(), 0755);
}

}  // namespace
}  // namespace quorvel
