#pragma once
// The one owner of a file descriptor: it closes it when it goes, so no path can leak one or
// close one twice. Move-only. Any thread, one owner at a time.

#include <unistd.h>

#include <utility>

namespace quorvel {

class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    explicit operator bool() const { return valid(); }
    // Gives the descriptor up without closing it.
    int release() { return std::exchange(fd_, -1); }
    // Closes the descriptor held (if any) and holds `fd`. The result of close() for the one
    // caller that must know it (a file whose last data a close can still lose).
    int reset(int fd = -1) {
        const int old = std::exchange(fd_, fd);
        return old >= 0 ? ::close(old) : 0;
    }

  private:
    int fd_ = -1;
};

// Both ends of a pipe (or socket pair), each with its owner.
struct FdPair {
    UniqueFd read;
    UniqueFd write;
};

}  // namespace quorvel
