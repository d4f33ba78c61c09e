#include "serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace quorvel {
namespace {

class PosixSerialPort final : public SerialPort {
  public:
    explicit PosixSerialPort(int fd) : fd_(fd) {}
    ~PosixSerialPort() override { close(); }

    bool read_byte(unsigned char& out) override {
        if (next_ < filled_) {
            out = buffer_[next_++];
            return true;
        }
        if (fd_ < 0) return false;
        if (fill() || (wait_readable() && fill())) {
            out = buffer_[next_++];
            return true;
        }
        return false;
    }

    void write(std::string_view bytes) override {
        // The descriptor is non-blocking: a full output buffer is waited out, but never for
        // long, so an unplugged adapter cannot hang the communication thread.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
        while (fd_ >= 0 && !bytes.empty()) {
            const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
            if (n > 0) {
                bytes.remove_prefix(static_cast<std::size_t>(n));
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno != EAGAIN) return;
            if (std::chrono::steady_clock::now() >= deadline) return;
            pollfd p{fd_, POLLOUT, 0};
            ::poll(&p, 1, 10);
        }
    }

    void close() override {
        if (fd_ >= 0) {
            // Exclusive mode outlives the descriptor on a pseudo-terminal: without this, no
            // ordinary user could open the port again.
            ::ioctl(fd_, TIOCNXCL);
            ::flock(fd_, LOCK_UN);
            ::close(fd_);
            fd_ = -1;
        }
        next_ = filled_ = 0;
    }

  private:
    // Reads what is waiting into the buffer, dropping NUL bytes; true when a byte is there.
    bool fill() {
        next_ = filled_ = 0;
        for (;;) {
            const ssize_t n = ::read(fd_, buffer_.data(), buffer_.size());
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            for (ssize_t i = 0; i < n; ++i) {
                if (buffer_[i] != 0) buffer_[filled_++] = buffer_[i];
            }
            if (filled_ > 0) return true;
        }
    }

    // "About 1 ms", as the original port's read time-out: a byte that is on its way is
    // still taken in this pass. Slightly under a millisecond, so that the waits of the two
    // ports do not stretch the 50 ms pass period by more than 2 ms.
    bool wait_readable() {
        pollfd p{fd_, POLLIN, 0};
        const timespec timeout{0, 900'000};
        for (;;) {
            const int r = ::ppoll(&p, 1, &timeout, nullptr);
            if (r < 0 && errno == EINTR) continue;
            return r > 0 && (p.revents & POLLIN);
        }
    }

    int fd_;
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

bool configure(int fd) {
    termios t{};
    if (::tcgetattr(fd, &t) != 0) return false;
    ::cfmakeraw(&t);
    t.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    t.c_cflag |= CS8 | CLOCAL | CREAD;
    t.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK | ISTRIP);
    t.c_cc[VMIN] = 0;
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
    if (path.empty()) return fail(ENOENT);
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return fail(errno);
    // Exclusive like the original platform's share mode 0: flock keeps out other openers
    // that lock (root included), TIOCEXCL every other non-root opener.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        ::close(fd);
        return fail(err == EWOULDBLOCK ? EBUSY : err);
    }
    if (!::isatty(fd)) {
        ::close(fd);
        if (reason) *reason = "not a serial device";
        return nullptr;
    }
    ::ioctl(fd, TIOCEXCL);
    // As with the original platform, a port that opened is used even if a setting is refused.
    configure(fd);
    int lines = TIOCM_DTR | TIOCM_RTS;
    ::ioctl(fd, TIOCMBIC, &lines);  // pseudo-terminals have no modem lines; ignore failure
    ::tcflush(fd, TCIOFLUSH);
    return std::make_unique<PosixSerialPort>(fd);
}

}  // namespace quorvel
