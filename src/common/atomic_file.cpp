#include "atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>

#include "common/unique_fd.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;

constexpr int kMaxLinkHops = 40;    // the kernel's own limit for a path
constexpr int kNameAttempts = 100;  // unique names that may collide before giving up
constexpr std::size_t kReadChunk = 16384;
constexpr const char* kNotRegular = "Not a regular file";
// Not an errno: a link that the kernel's protected-symlink rule would not follow.
constexpr int kSharedLink = -2;

bool write_all(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) {
            errno = EIO;
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// The file that is finally replaced, after the links that lead to it.
struct Target {
    fs::path path;  // for kSharedLink: the link that is not followed
    bool exists = false;
    struct stat st {};
};

fs::path folder_of(const fs::path& p) {
    return p.has_parent_path() ? p.parent_path() : fs::path(".");
}

// The rule of fs.protected_symlinks: in a sticky world-writable folder such as /tmp, a
// link is followed only when it is the user's own or the folder owner's, so that another
// user cannot plant one that points a save at the user's files. The program follows links
// itself, so the kernel's check never sees them.
bool may_follow(const fs::path& link, const struct stat& link_st) {
    struct stat folder {};
    if (::stat(folder_of(link).c_str(), &folder) != 0) return false;
    constexpr mode_t kShared = S_ISVTX | S_IWOTH;
    return (folder.st_mode & kShared) != kShared || link_st.st_uid == ::geteuid() ||
           link_st.st_uid == folder.st_uid;
}

// 0, kSharedLink, or the errno that makes the path unusable.
int resolve(fs::path p, Target& t) {
    for (int hops = 0;; ++hops) {
        if (::lstat(p.c_str(), &t.st) != 0) {
            if (errno != ENOENT) return errno;
            t.path = p;  // a dangling link creates what it names
            t.exists = false;
            return 0;
        }
        t.path = p;
        if (!S_ISLNK(t.st.st_mode)) {
            t.exists = true;
            return 0;
        }
        if (!may_follow(p, t.st)) return kSharedLink;
        if (hops == kMaxLinkHops) return ELOOP;
        std::array<char, PATH_MAX> buf;
        const ssize_t n = ::readlink(p.c_str(), buf.data(), buf.size());
        if (n < 0) return errno;
        if (static_cast<std::size_t>(n) == buf.size()) return ENAMETOOLONG;
        const fs::path link(std::string(buf.data(), static_cast<std::size_t>(n)));
        // Not normalised: ".." must go up from where the link really is, as the kernel does.
        p = link.is_absolute() ? link : p.parent_path() / link;
    }
}

// ".<target name>.<6 random characters>", the target's name cut so that the whole stays
// within the folder's name limit.
std::string temporary_name(const std::string& leaf, long name_max) {
    static std::atomic<std::uint64_t> counter{0};
    std::uint64_t x =
        counter.fetch_add(1) ^ (static_cast<std::uint64_t>(::getpid()) << 40) ^
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    // splitmix64: spreads the counter and clock over all the characters
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    x ^= x >> 31;
    static constexpr char kChars[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    constexpr std::size_t kSuffix = 6;
    const std::size_t room = name_max > static_cast<long>(kSuffix + 2)
                                 ? static_cast<std::size_t>(name_max) - kSuffix - 2
                                 : 0;
    std::string name = "." + leaf.substr(0, room) + ".";
    for (std::size_t i = 0; i < kSuffix; ++i) {
        name += kChars[x % (sizeof kChars - 1)];
        x /= sizeof kChars - 1;
    }
    return name;
}

// Gives the new file the old one's owner and mode, writes it and flushes it to disk.
int fill(int fd, const Target& t, std::string_view contents) {
    if (t.exists) {
        // Only root may give a file away; for anyone else the group is kept where allowed
        // and a refusal just leaves the new file the caller's own.
        [[maybe_unused]] const int given = ::fchown(fd, t.st.st_uid, t.st.st_gid);
        if (::fchmod(fd, t.st.st_mode & 07777) != 0) return errno;
    }
    if (!write_all(fd, contents) || ::fsync(fd) != 0) return errno;
    return 0;
}

enum class Outcome { Done, Failed, Unsupported };

// The file is written while it has no name, so a save killed at any point before the link
// leaves nothing in the folder.
Outcome via_unnamed(int dir, const std::string& leaf, long name_max, const Target& t,
                    std::string_view contents, int& err) {
    UniqueFd fd(::openat(dir, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
    if (!fd) return Outcome::Unsupported;
    if ((err = fill(fd.get(), t, contents)) != 0) return Outcome::Failed;
    // linkat of an unnamed file by its descriptor needs a capability; through /proc it does not.
    const std::string self = "/proc/self/fd/" + std::to_string(fd.get());
    std::string name;
    for (int attempt = 0;; ++attempt) {
        name = temporary_name(leaf, name_max);
        if (::linkat(AT_FDCWD, self.c_str(), dir, name.c_str(), AT_SYMLINK_FOLLOW) == 0) break;
        if (errno != EEXIST || attempt == kNameAttempts) return Outcome::Unsupported;
    }
    // Closed here, checked: a late write error (NFS reports them at the close) is not lost.
    if (fd.reset() != 0 || ::renameat(dir, name.c_str(), dir, leaf.c_str()) != 0) {
        err = errno;
        ::unlinkat(dir, name.c_str(), 0);
        return Outcome::Failed;
    }
    return Outcome::Done;
}

Outcome via_named(int dir, const std::string& leaf, long name_max, const Target& t,
                  std::string_view contents, int& err) {
    UniqueFd fd;
    std::string name;
    for (int attempt = 0;; ++attempt) {
        name = temporary_name(leaf, name_max);
        fd.reset(::openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          0666));
        if (fd) break;
        if (errno != EEXIST || attempt == kNameAttempts) {
            err = errno;
            return Outcome::Failed;
        }
    }
    err = fill(fd.get(), t, contents);
    if (err == 0 && fd.reset() != 0) err = errno;
    if (err == 0 && ::renameat(dir, name.c_str(), dir, leaf.c_str()) != 0) err = errno;
    if (err == 0) return Outcome::Done;
    ::unlinkat(dir, name.c_str(), 0);
    return Outcome::Failed;
}

// Not atomic: a crash part-way leaves a mixed file. Only for a folder that refuses every
// other way of saving a file the user may write.
int write_in_place(const fs::path& path, std::string_view contents) {
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd) return errno;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return errno;
    if (!S_ISREG(st.st_mode)) return -1;
    if (!write_all(fd.get(), contents) ||
        ::ftruncate(fd.get(), static_cast<off_t>(contents.size())) != 0 || ::fsync(fd.get()) != 0 ||
        fd.reset() != 0) {
        return errno;
    }
    return 0;
}

std::string shared_link_reason(const fs::path& link) {
    std::error_code ec;
    const fs::path folder = link.has_parent_path() ? link.parent_path() : fs::current_path(ec);
    return link.filename().string() + " is a link in a shared folder (" + folder.string() +
           ") owned by another user; it is not followed";
}

bool folder_refused(int err) {
    return err == EACCES || err == EPERM || err == EROFS;
}

}  // namespace

bool write_file_atomically(const std::filesystem::path& target, std::string_view contents,
                           std::string* error) {
    return write_file_atomically(target, contents, error, AtomicWriteOptions{});
}

bool write_file_atomically(const std::filesystem::path& target, std::string_view contents,
                           std::string* error, const AtomicWriteOptions& options) {
    Target t;
    auto fail = [error, &t](int err) {
        if (error)
            *error = err == kSharedLink ? shared_link_reason(t.path)
                     : err < 0          ? kNotRegular
                                        : std::strerror(err);
        return false;
    };
    if (const int err = resolve(target, t)) return fail(err);
    if (t.exists && S_ISDIR(t.st.st_mode)) return fail(EISDIR);
    // Renaming over a FIFO or device would swap a special file for a plain one.
    if (t.exists && !S_ISREG(t.st.st_mode)) return fail(-1);
    // A read-only file is the user's wish that it stay as it is, even in a writable folder.
    if (t.exists && ::faccessat(AT_FDCWD, t.path.c_str(), W_OK, AT_EACCESS) != 0) {
        return fail(errno);
    }
    const std::string leaf = t.path.filename().string();
    if (leaf.empty() || leaf == "." || leaf == "..") return fail(EISDIR);
    const fs::path folder = t.path.has_parent_path() ? t.path.parent_path() : fs::path(".");
    const UniqueFd dir(::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!dir) return fail(errno);
    long name_max = ::fpathconf(dir.get(), _PC_NAME_MAX);
    if (name_max <= 0) name_max = NAME_MAX;

    int err = 0;
    Outcome outcome = options.unnamed_temporary
                          ? via_unnamed(dir.get(), leaf, name_max, t, contents, err)
                          : Outcome::Unsupported;
    if (outcome == Outcome::Unsupported) {
        outcome = via_named(dir.get(), leaf, name_max, t, contents, err);
    }
    if (outcome != Outcome::Done) {
        // A read-only folder, or a sticky one holding someone else's file, may still let
        // the user write the file itself.
        if (t.exists && folder_refused(err)) err = write_in_place(t.path, contents);
        return err == 0 || fail(err);
    }
    const UniqueFd sync(::openat(dir.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (sync) ::fsync(sync.get());
    return true;
}

FileReadEnd read_regular_file(const std::filesystem::path& path, std::size_t max_bytes,
                              const std::function<bool(std::string_view)>& consume,
                              std::string* reason) {
    auto refuse = [reason](FileReadEnd end, std::string why) {
        if (reason) *reason = std::move(why);
        return end;
    };
    auto unopenable = [&](const struct stat* st) {
        if (st == nullptr) return refuse(FileReadEnd::Unopenable, std::strerror(errno));
        return refuse(FileReadEnd::Unopenable,
                      S_ISDIR(st->st_mode) ? "it is a folder" : "it is not a regular file");
    };
    auto too_large = [&] {
        return refuse(FileReadEnd::TooLarge,
                      "it is larger than " + std::to_string(max_bytes) + " bytes");
    };
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return unopenable(nullptr);
    if (!S_ISREG(st.st_mode)) return unopenable(&st);
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd) return unopenable(nullptr);
    // The name may have been given to a FIFO or device since it was looked at.
    if (::fstat(fd.get(), &st) != 0) return unopenable(nullptr);
    if (!S_ISREG(st.st_mode)) return unopenable(&st);
    if (static_cast<std::uintmax_t>(st.st_size) > max_bytes) return too_large();
    std::array<char, kReadChunk> buf;
    std::size_t total = 0;
    for (;;) {
        const ssize_t n = ::read(fd.get(), buf.data(), buf.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return FileReadEnd::Ended;
        // A file that grows while it is read, or a /proc file that reports no size.
        total += static_cast<std::size_t>(n);
        if (total > max_bytes) return too_large();
        if (!consume(std::string_view(buf.data(), static_cast<std::size_t>(n)))) {
            return FileReadEnd::Stopped;
        }
    }
}

}  // namespace quorvel
