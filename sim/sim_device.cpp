#include "sim_device.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <system_error>

namespace quorvel::sim {
namespace {

// How long the worker leaves the master alone after it reported readiness but gave no
// byte (an error state that poll() keeps reporting), so that it cannot become a busy loop.
constexpr int kErrorPauseMs = 10;
// A program that stops reading must not wedge the worker for ever: after this long
// without the pty taking a single byte, the rest of the write is dropped, as a real
// controller's full output buffer would.
constexpr auto kStalledWriteLimit = std::chrono::seconds(5);

void pause_ms(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::string errno_text(const char* what) {
    return std::string(what) + ": " + strerror(errno);
}

bool is_garbage_candidate(int c) {
    return c != '>' && c != '?' && c != '|' && c != '~';
}

// Milliseconds until a steady-clock moment in seconds, rounded up so that a sleep never
// ends just before it and turns into a run of zero-length polls; -1 for never.
int ms_until(double due_s, double now_s) {
    if (!(due_s < std::numeric_limits<double>::infinity())) return -1;
    const double left_ms = std::ceil((due_s - now_s) * 1000.0);
    if (left_ms <= 0) return 0;
    return left_ms >= INT_MAX ? INT_MAX : static_cast<int>(left_ms);
}

// A device's pseudo-terminal: the master non-blocking, the slave raw at 9600 baud.
struct Pty {
    UniqueFd master;
    // Held open for the device's whole life: without it the master reads EIO each time
    // the program closes the port, and settings made here would be lost on its reopen.
    UniqueFd slave;
    std::string path;
};

// Empty, with the reason in `why`, when the pseudo-terminal cannot be made.
std::optional<Pty> open_pty(std::string& why) {
    auto failed = [&why](const char* what) {
        why = errno_text(what);
        return std::nullopt;
    };
    Pty pty;
    pty.master.reset(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!pty.master) return failed("posix_openpt");
    if (grantpt(pty.master.get()) != 0) return failed("grantpt");
    if (unlockpt(pty.master.get()) != 0) return failed("unlockpt");
    std::array<char, 128> name{};
    if (ptsname_r(pty.master.get(), name.data(), name.size()) != 0) return failed("ptsname");
    pty.path = name.data();

    pty.slave.reset(::open(name.data(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!pty.slave) return failed("open slave");
    termios tio{};
    if (tcgetattr(pty.slave.get(), &tio) != 0) return failed("tcgetattr");
    cfmakeraw(&tio);
    cfsetispeed(&tio, B9600);
    cfsetospeed(&tio, B9600);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (tcsetattr(pty.slave.get(), TCSANOW, &tio) != 0) return failed("tcsetattr");

    const int flags = fcntl(pty.master.get(), F_GETFL);
    if (flags < 0 || fcntl(pty.master.get(), F_SETFL, flags | O_NONBLOCK) != 0) {
        return failed("fcntl O_NONBLOCK");
    }
    return pty;
}

}  // namespace

PtyDevice::PtyDevice(double time_scale)
    : time_scale_(time_scale),
      wake_fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      rng_(std::random_device{}()) {}

PtyDevice::~PtyDevice() {
    stop();
}

bool PtyDevice::start(std::string* error) {
    auto fail = [error](std::string why) {
        if (error) *error = std::move(why);
        return false;
    };
    std::lock_guard lifecycle(lifecycle_mutex_);
    if (started_) return fail("device already started");
    if (!wake_fd_) return fail("eventfd: cannot create the worker's wake-up");
    std::string why;
    std::optional<Pty> pty = open_pty(why);
    if (!pty) return fail(why);

    {
        std::lock_guard lock(life_mutex_);
        worker_running_ = true;
    }
    {
        std::lock_guard lock(write_mutex_);
        master_fd_ = std::move(pty->master);
    }
    try {
        worker_ = std::thread([this] { run(); });
    } catch (const std::system_error& e) {
        {
            std::lock_guard lock(write_mutex_);
            pty->master = std::move(master_fd_);
        }
        {
            std::lock_guard lock(life_mutex_);
            worker_running_ = false;
        }
        return fail(std::string("worker thread: ") + e.what());
    }
    slave_keep_fd_ = std::move(pty->slave);
    path_ = std::move(pty->path);
    started_ = true;
    return true;
}

void PtyDevice::stop() {
    if (on_worker_thread()) {
        // Cannot join ourselves; the worker leaves its loop and the owner's stop() joins.
        stopping_ = true;
        return;
    }
    std::lock_guard lifecycle(lifecycle_mutex_);
    stopping_ = true;
    wake_worker();
    if (worker_.joinable()) worker_.join();
    close_master();
    slave_keep_fd_.reset();
}

bool PtyDevice::on_worker_thread() const {
    return worker_id_.load() == std::this_thread::get_id();
}

void PtyDevice::close_master() {
    {
        std::lock_guard lock(write_mutex_);
        if (master_fd_) {
            master_fd_.reset();
            hung_up_ = hangup_requested_.load();
        }
    }
    std::lock_guard lock(life_mutex_);
    life_cv_.notify_all();
}

void PtyDevice::wake_worker() {
    if (!wake_fd_) return;
    const std::uint64_t one = 1;
    ssize_t n;
    do {
        n = ::write(wake_fd_.get(), &one, sizeof one);
    } while (n < 0 && errno == EINTR);
    // EAGAIN means the counter is already huge, so the fd is readable anyway.
}

void PtyDevice::hang_up() {
    hangup_requested_ = true;
    wake_worker();
    if (!on_worker_thread()) {
        // The worker may be inside poll()/read() on the master; let it close the fd itself.
        std::unique_lock lock(life_mutex_);
        life_cv_.wait(lock, [this] { return !worker_running_ || hung_up_.load(); });
    }
    close_master();
    hung_up_ = true;
}

double PtyDevice::now_s() const {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::vector<std::string> PtyDevice::received_lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

std::string PtyDevice::received_bytes() const {
    std::lock_guard lock(mutex_);
    return bytes_;
}

void PtyDevice::clear_received() {
    std::lock_guard lock(mutex_);
    lines_.clear();
    bytes_.clear();
}

void PtyDevice::send_raw(const std::string& bytes) {
    write_all(bytes);
}

void PtyDevice::send_long_line(std::size_t n) {
    std::string line;
    line.reserve(n + 2);
    for (std::size_t i = 0; i < n; ++i) line.push_back(static_cast<char>('A' + i % 26));
    line += "\r\n";
    write_all(line);
}

void PtyDevice::answer(const std::string& text) {
    if (faults_.silent) return;
    std::string out;
    if (faults_.garbage) {
        std::lock_guard lock(rng_mutex_);
        const int count = std::uniform_int_distribution<int>(8, 32)(rng_);
        std::uniform_int_distribution<int> pick(0x21, 0x7e);
        while (static_cast<int>(out.size()) < count) {
            const int c = pick(rng_);
            if (is_garbage_candidate(c)) out.push_back(static_cast<char>(c));
        }
    }
    if (faults_.nul_bytes) {
        for (char c : text) {
            out.push_back(c);
            out.push_back('\0');
        }
    } else {
        out += text;
    }
    write_all(out);
}

void PtyDevice::write_all(const std::string& bytes) {
    // One lock for the whole answer, so that answers never interleave.
    std::lock_guard lock(write_mutex_);
    std::size_t done = 0;
    auto last_progress = std::chrono::steady_clock::now();
    bool refused_after_room = false;
    while (done < bytes.size() && master_fd_) {
        const ssize_t n = ::write(master_fd_.get(), bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            last_progress = std::chrono::steady_clock::now();
            refused_after_room = false;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return;
        if (stopping_ || hangup_requested_) return;
        const auto left = kStalledWriteLimit - (std::chrono::steady_clock::now() - last_progress);
        if (left <= std::chrono::steady_clock::duration::zero()) return;
        // Sleep until the program makes room or the device is ended. A pty that reports
        // room and then still refuses the write gets a short pause rather than a spin.
        const int left_ms =
            static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
        pollfd fds[2] = {{master_fd_.get(), POLLOUT, 0}, {wake_fd_.get(), POLLIN, 0}};
        if (refused_after_room) fds[0].fd = -1;
        const int ready = ::poll(fds, 2, refused_after_room ? std::min(left_ms, 1) : left_ms);
        refused_after_room = ready > 0 && (fds[0].revents & POLLOUT);
        if (ready < 0 && errno != EINTR) pause_ms(1);
    }
}

int PtyDevice::sleep_limit_ms() const {
    return ms_until(next_event_s(), now_s());
}

void PtyDevice::run() {
    worker_id_ = std::this_thread::get_id();
    pthread_setname_np(pthread_self(), thread_name());
    std::array<unsigned char, 4096> buf{};
    bool leave_master_alone = false;
    // master_fd_ changes only on this thread while it runs, so it is read here unlocked.
    while (!stopping_) {
        if (hangup_requested_) {
            close_master();
            break;
        }
        int limit_ms = sleep_limit_ms();
        if (leave_master_alone)
            limit_ms = limit_ms < 0 ? kErrorPauseMs : std::min(limit_ms, kErrorPauseMs);
        pollfd fds[2] = {{leave_master_alone ? -1 : master_fd_.get(), POLLIN, 0},
                         {wake_fd_.get(), POLLIN, 0}};
        leave_master_alone = false;
        const int ready = ::poll(fds, 2, limit_ms);
        if (ready < 0 && errno != EINTR) pause_ms(kErrorPauseMs);
        if (ready > 0 && fds[0].revents != 0) {
            const ssize_t n = ::read(master_fd_.get(), buf.data(), buf.size());
            if (n > 0) {
                consume(buf.data(), static_cast<std::size_t>(n));
            } else if (!(n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))) {
                // Hang-up or error without data: poll() would report it again at once.
                leave_master_alone = true;
            }
        }
        on_time(now_s());
    }
    worker_id_ = std::thread::id{};
    std::lock_guard lock(life_mutex_);
    worker_running_ = false;
    life_cv_.notify_all();
}

void PtyDevice::consume(const unsigned char* data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        const unsigned char b = data[i];
        const bool swallowed = on_byte(b);
        std::string line;
        {
            std::lock_guard lock(mutex_);
            bytes_.push_back(static_cast<char>(b));
            if (swallowed || b == '\n') continue;
            if (b != '\r') {
                partial_.push_back(static_cast<char>(b));
                continue;
            }
            line.swap(partial_);
            lines_.push_back(line);
        }
        on_line(line);
        ++lines_handled_;
    }
}

}  // namespace quorvel::sim
