#include "record_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quorvel {

bool RecordLog::open(const std::string& path, std::string* error) {
    // O_NONBLOCK: a FIFO without a reader fails here instead of holding the run.
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666));
    struct stat st {};
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0) {
        *error = std::strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        *error = "not a regular file";
        return false;
    }
    fd_ = std::move(fd);
    return true;
}

bool RecordLog::append(std::string_view line, std::string* error) {
    std::string whole(line);
    whole += '\n';
    std::size_t done = 0;
    while (done < whole.size()) {
        const ssize_t n = ::write(fd_.get(), whole.data() + done, whole.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            *error = n < 0 ? std::strerror(errno) : "nothing was written";
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool RecordLog::sync(std::string* error) {
    if (::fsync(fd_.get()) != 0) {
        *error = std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace quorvel
