#include "atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace quorvel {
namespace {

bool write_all(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// umask() can only be read by changing it, which would race with other threads creating
// files; Linux reports it in /proc instead.
mode_t process_umask() {
    std::FILE* f = std::fopen("/proc/self/status", "re");
    mode_t mask = 022;
    if (!f) return mask;
    char line[256];
    while (std::fgets(line, sizeof line, f)) {
        unsigned int value = 0;
        if (std::sscanf(line, "Umask: %o", &value) == 1) {
            mask = static_cast<mode_t>(value);
            break;
        }
    }
    std::fclose(f);
    return mask;
}

}  // namespace

bool write_file_atomically(const std::filesystem::path& target, std::string_view contents,
                           std::string* error) {
    auto fail = [error](int err) {
        if (error) *error = std::strerror(err);
        return false;
    };
    const std::filesystem::path dir =
        target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
    std::string pattern = (dir / ("." + target.filename().string() + ".XXXXXX")).string();
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');

    const int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) return fail(errno);
    // mkstemp creates 0600: keep the mode of the file being replaced, or give a new file
    // the mode an ordinary create would.
    struct stat old_stat {};
    ::fchmod(fd, ::stat(target.c_str(), &old_stat) == 0 ? (old_stat.st_mode & 07777)
                                                        : (0666 & ~process_umask()));

    const bool written = write_all(fd, contents) && ::fsync(fd) == 0;
    int err = errno;
    const bool closed = ::close(fd) == 0;
    if (written && !closed) err = errno;
    if (!written || !closed || ::rename(name.data(), target.c_str()) != 0) {
        if (written && closed) err = errno;
        ::unlink(name.data());
        return fail(err);
    }
    const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return true;
}

}  // namespace quorvel
