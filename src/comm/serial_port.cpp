#include "serial_port.h"

#include <fcntl.h>
#include <linux/major.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "common/unique_fd.h"

namespace quorvel {
namespace {

// Errors after which the device is not coming back on this descriptor: a hang-up, an
// adapter pulled, the other side of a pseudo-terminal closed.
bool device_gone(int err) {
    return err == EIO || err == ENXIO || err == ENODEV;
}

class PosixSerialPort final : public SerialPort {
  public:
    explicit PosixSerialPort(UniqueFd fd) : fd_(std::move(fd)) {}
    ~PosixSerialPort() override { close(); }

    bool read_byte(unsigned char& out) override {
        if (next_ < filled_) {
            out = buffer_[next_++];
            return true;
        }
        if (!fd_ || lost_) return false;
        // VMIN = 1 on a non-blocking descriptor: a quiet line reads as "try again", so an
        // idle port costs one read a pass and nothing more.
        Read r = take();
        if (r == Read::Quiet && receiving_) {
            // The next byte of a line that is coming in is waited for, about 1 ms (one
            // character at 9600 baud), so that the line is taken whole in this pass.
            if (wait_readable() & (POLLIN | POLLHUP | POLLERR)) r = take();
        }
        receiving_ = r == Read::Got;
        if (!receiving_) return false;
        out = buffer_[next_++];
        return true;
    }

    void write(std::string_view bytes) override {
        if (!fd_ || lost_ || bytes.empty()) return;
        // Only raw bytes written from another thread can pile up behind a rest (the
        // communication thread waits for it); a bound keeps a dead-slow device from
        // growing it without end. A write that does not fit goes nowhere, whole.
        if (!rest_.empty() && rest_.size() + bytes.size() > kMaxRest) return;
        rest_.append(bytes);
        push();
    }

    bool flush() override {
        if (!fd_ || lost_) {
            rest_.clear();
            return true;
        }
        return push();
    }

    bool lost() const override { return lost_; }

    void close() override {
        if (fd_) {
            if (!lost_ && !push()) last_chance();
            if (!lost_ && !rest_.empty()) {
                // The device takes nothing: drop what waits in the kernel too, or the
                // close itself would wait for it (up to half a minute on a serial port).
                ::tcflush(fd_.get(), TCOFLUSH);
            }
            // Given back at once rather than at the device's last close, which a copy of the
            // descriptor elsewhere would put off.
            ::ioctl(fd_.get(), TIOCNXCL);
            ::flock(fd_.get(), LOCK_UN);
            fd_.reset();
        }
        rest_.clear();
        next_ = filled_ = 0;
    }

    int emergency_fd() const override { return fd_.get(); }
    int input_fd() const override { return lost_ ? -1 : fd_.get(); }
    bool input_pending() const override { return next_ < filled_ || receiving_; }

  private:
    static constexpr std::size_t kMaxRest = 64 * 1024;
    static constexpr auto kLastChance = std::chrono::milliseconds(500);

    enum class Read { Got, Quiet, Zero, Lost };

    void mark_lost() {
        lost_ = true;
        rest_.clear();
        next_ = filled_ = 0;
    }

    // Hands the device what it takes now; true when nothing is left waiting. Other
    // failures than a lost device keep the rest for the next try, so a line is never
    // left cut.
    bool push() {
        while (!rest_.empty()) {
            const ssize_t n = ::write(fd_.get(), rest_.data(), rest_.size());
            if (n > 0) {
                rest_.erase(0, static_cast<std::size_t>(n));
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && device_gone(errno)) {
                mark_lost();
                return true;
            }
            return false;
        }
        return true;
    }

    // Waits for the device to take the rest, but never beyond kLastChance.
    void last_chance() {
        const auto deadline = std::chrono::steady_clock::now() + kLastChance;
        while (!lost_ && !rest_.empty()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return;
            pollfd p{fd_.get(), POLLOUT, 0};
            const int r = ::poll(&p, 1, static_cast<int>(left.count()));
            if (r < 0 && errno != EINTR) return;
            if (r > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) && !(p.revents & POLLOUT))
                return;
            push();
        }
    }

    // As fill(), with 0 bytes taken for the hang-up it is. Only a line whose settings were
    // refused (VMIN still 0) could read quiet as 0 bytes, and poll tells that one apart.
    Read take() {
        const Read r = fill();
        if (r != Read::Zero) return r;
        if (!hung_up()) return Read::Quiet;
        mark_lost();
        return Read::Lost;
    }

    // Reads what is waiting into the buffer, dropping NUL bytes.
    Read fill() {
        next_ = filled_ = 0;
        // A device sending nothing but NUL bytes must not hold the thread here.
        for (int tries = 0; tries < 16;) {
            const ssize_t n = ::read(fd_.get(), buffer_.data(), buffer_.size());
            if (n < 0 && errno == EINTR) continue;
            ++tries;
            if (n == 0) return Read::Zero;
            if (n < 0) {
                if (device_gone(errno)) {
                    mark_lost();
                    return Read::Lost;
                }
                return Read::Quiet;  // a failed read counts as no byte
            }
            for (ssize_t i = 0; i < n; ++i) {
                if (buffer_[i] != 0) buffer_[filled_++] = buffer_[i];
            }
            if (filled_ > 0) return Read::Got;
        }
        return Read::Quiet;
    }

    // The events seen within "about 1 ms", or 0: the original port's read time-out,
    // slightly under so that the waits of the two ports do not stretch the 50 ms pass
    // period by more than 2 ms.
    short wait_readable() { return poll_events(900'000); }

    bool hung_up() { return (poll_events(0) & (POLLHUP | POLLERR)) != 0; }

    short poll_events(long timeout_ns) {
        pollfd p{fd_.get(), POLLIN, 0};
        const timespec timeout{0, timeout_ns};
        for (;;) {
            const int r = ::ppoll(&p, 1, &timeout, nullptr);
            if (r < 0 && errno == EINTR) continue;
            return r > 0 ? p.revents : 0;
        }
    }

    UniqueFd fd_;
    bool lost_ = false;
    bool receiving_ = false;  // the last read brought a byte: more may be on their way
    std::string rest_;        // bytes handed to write() that the device has not taken yet
    std::array<unsigned char, 256> buffer_{};
    std::size_t next_ = 0;
    std::size_t filled_ = 0;
};

std::string describe_open_error(int err) {
    switch (err) {
        case EACCES:
        case EPERM:
            return "permission denied (is the user in the 'dialout' group?)";
        case EBUSY:
        case EWOULDBLOCK:
            return "the port is in use by another program";
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return "no such device";
        default:
            return std::strerror(err);
    }
}

// False when the system knows the device and it is not a terminal (a watchdog, a sound
// card): such a device must not even be opened. Pseudo-terminals are not listed there;
// unknown devices are left to isatty() after opening.
bool may_be_terminal(dev_t device) {
    const std::string entry = "/sys/dev/char/" + std::to_string(major(device)) + ":" +
                              std::to_string(minor(device)) + "/subsystem";
    std::array<char, 256> target{};
    const ssize_t n = ::readlink(entry.c_str(), target.data(), target.size() - 1);
    if (n <= 0) return true;
    const std::string_view link(target.data(), static_cast<std::size_t>(n));
    return link.substr(link.rfind('/') + 1) == "tty";
}

// Unix98 pseudo-terminal slaves (/dev/pts/N, under whatever name or mount they are reached)
// and the legacy BSD ones, by the device number of the open descriptor.
bool is_pseudo_terminal(dev_t device) {
    const unsigned m = major(device);
    return m == PTY_SLAVE_MAJOR ||
           (m >= UNIX98_PTY_SLAVE_MAJOR && m < UNIX98_PTY_SLAVE_MAJOR + UNIX98_PTY_MAJOR_COUNT);
}

bool configure(int fd) {
    termios t{};
    if (::tcgetattr(fd, &t) != 0) return false;
    ::cfmakeraw(&t);
    t.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    t.c_cflag |= CS8 | CLOCAL | CREAD;
    t.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK | ISTRIP);
    // With the descriptor non-blocking, VMIN = 1 makes a quiet line "try again" and leaves
    // 0 bytes to mean a hang-up; nothing ever waits in read().
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    ::cfsetispeed(&t, B9600);
    ::cfsetospeed(&t, B9600);
    return ::tcsetattr(fd, TCSANOW, &t) == 0;
}

}  // namespace

DevicePortProvider::DevicePortProvider(std::array<std::string, 4> overrides) {
    for (std::size_t i = 0; i < paths_.size(); ++i) {
        paths_[i] = overrides[i].empty() ? "/dev/ttyS" + std::to_string(i) : overrides[i];
    }
}

DevicePortProvider DevicePortProvider::from_environment() {
    std::array<std::string, 4> overrides;
    for (std::size_t i = 0; i < overrides.size(); ++i) {
        const std::string var = "QUORVEL_COM" + std::to_string(i + 1);
        if (const char* value = std::getenv(var.c_str())) overrides[i] = value;
    }
    return DevicePortProvider(std::move(overrides));
}

std::string DevicePortProvider::device_name(int index) const {
    if (index < 1 || index > 4) return {};
    return paths_[static_cast<std::size_t>(index - 1)];
}

std::unique_ptr<SerialPort> DevicePortProvider::open(int index, std::string* reason) {
    if (index < 1 || index > 4) {
        if (reason) *reason = "no such port";
        return nullptr;
    }
    return open_serial_device(device_name(index), reason);
}

std::unique_ptr<SerialPort> open_serial_device(const std::string& path, std::string* reason) {
    auto fail = [reason](int err) -> std::unique_ptr<SerialPort> {
        if (reason) *reason = describe_open_error(err);
        return nullptr;
    };
    auto not_serial = [reason]() -> std::unique_ptr<SerialPort> {
        if (reason) *reason = "not a serial device";
        return nullptr;
    };
    // A name cut at an embedded NUL would open some other file than the one named.
    if (path.empty() || path.find('\0') != std::string::npos) return fail(ENOENT);
    // Looked at before opening: opening a FIFO or some other device can block or have
    // effects of its own, and their open errors would be reported as a serial port's.
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return fail(errno);
    if (!S_ISCHR(st.st_mode) || !may_be_terminal(st.st_rdev)) return not_serial();
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd) return fail(errno);
    // The name may have been pointed elsewhere since the stat.
    if (::fstat(fd.get(), &st) != 0 || !S_ISCHR(st.st_mode) || !::isatty(fd.get())) {
        return not_serial();
    }
    // Exclusive like the original platform's share mode 0: flock keeps out other openers
    // that lock (root included), TIOCEXCL every other non-root opener. The kernel drops the
    // lock with the process, however it ends; a pseudo-terminal keeps exclusive mode for as
    // long as its other side stays open, so after a SIGKILL nobody but root could open it
    // again. It gets the lock alone.
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        return fail(err == EWOULDBLOCK ? EBUSY : err);
    }
    if (!is_pseudo_terminal(st.st_rdev)) ::ioctl(fd.get(), TIOCEXCL);
    // As with the original platform, a port that opened is used even if a setting is refused.
    configure(fd.get());
    int lines = TIOCM_DTR | TIOCM_RTS;
    ::ioctl(fd.get(), TIOCMBIC, &lines);  // pseudo-terminals have no modem lines; ignore failure
    ::tcflush(fd.get(), TCIOFLUSH);
    return std::make_unique<PosixSerialPort>(std::move(fd));
}

}  // namespace quorvel
