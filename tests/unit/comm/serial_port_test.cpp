#include "comm/serial_port.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

namespace quorvel {
namespace {

// A pseudo-terminal pair: the test plays the device on the master side.
class PtyPair : public ::testing::Test {
  protected:
    void SetUp() override {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master_, 0);
        ASSERT_EQ(::grantpt(master_), 0);
        ASSERT_EQ(::unlockpt(master_), 0);
        slave_path_ = ::ptsname(master_);
    }
    void TearDown() override { ::close(master_); }

    void device_sends(std::string_view bytes) {
        ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    std::string read_all(SerialPort& port, std::size_t want) {
        std::string got;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        unsigned char b = 0;
        while (got.size() < want && std::chrono::steady_clock::now() < deadline) {
            if (port.read_byte(b)) got.push_back(static_cast<char>(b));
        }
        return got;
    }
    std::string device_reads(std::size_t want) {
        std::string got;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        char buf[64];
        while (got.size() < want && std::chrono::steady_clock::now() < deadline) {
            // Polled first: a read of the master would block past the deadline.
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, 10) <= 0 || !(p.revents & POLLIN)) continue;
            const ssize_t n = ::read(master_, buf, sizeof buf);
            if (n > 0) got.append(buf, static_cast<std::size_t>(n));
        }
        return got;
    }

    int master_ = -1;
    std::string slave_path_;
};

TEST_F(PtyPair, RawBytesBothWaysAndNulDiscarded) {
    std::string reason;
    auto port = open_serial_device(slave_path_, &reason);
    ASSERT_TRUE(port) << reason;
    // CR must stay CR, ^C and XON must arrive as data: the line is raw.
    device_sends(std::string("a\r\x03\x11\0b\n", 7));
    EXPECT_EQ(read_all(*port, 6), std::string("a\r\x03\x11"
                                              "b\n"));
    port->write("VM=1.0\r");
    EXPECT_EQ(device_reads(7), "VM=1.0\r");
    unsigned char b = 0;
    EXPECT_FALSE(port->read_byte(b)) << "nothing waiting gives no byte";
}

TEST_F(PtyPair, InputWaitingBeforeTheOpenIsDiscarded) {
    {
        // Keep the slave open so the early bytes are held in its input queue.
        const int holder = ::open(slave_path_.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(holder, 0);
        device_sends("stale\r");
        // The pseudo-terminal hands bytes over a little later: wait until they are queued.
        pollfd queued{holder, POLLIN, 0};
        ASSERT_EQ(::poll(&queued, 1, 5000), 1);
        auto port = open_serial_device(slave_path_, nullptr);
        ASSERT_TRUE(port);
        device_sends("new\r");
        EXPECT_EQ(read_all(*port, 4), "new\r");
        ::close(holder);
    }
}

TEST_F(PtyPair, SecondOpenOfAnOpenPortFails) {
    auto first = open_serial_device(slave_path_, nullptr);
    ASSERT_TRUE(first);
    std::string reason;
    EXPECT_FALSE(open_serial_device(slave_path_, &reason));
    EXPECT_EQ(reason, "the port is in use by another program");
    first.reset();
    EXPECT_TRUE(open_serial_device(slave_path_, nullptr)) << "free again after close";
}

TEST_F(PtyPair, ClosingLeavesThePortFreeForAnyUser) {
    auto port = open_serial_device(slave_path_, nullptr);
    ASSERT_TRUE(port);
    port->close();
    // TIOCEXCL would refuse every non-root opener; root is let through, so ask the tty.
    const int fd = ::open(slave_path_.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    int exclusive = 1;
    ASSERT_EQ(::ioctl(fd, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    ::close(fd);
}

// Nothing runs after a SIGKILL to give exclusive mode back, and a pseudo-terminal keeps it
// while its other side is open: the lock alone keeps a second opener out.
TEST_F(PtyPair, APseudoTerminalIsLockedButNeverExclusive) {
    auto port = open_serial_device(slave_path_, nullptr);
    ASSERT_TRUE(port);
    const int fd = ::open(slave_path_.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0) << "refused as exclusive";
    int exclusive = 1;
    ASSERT_EQ(::ioctl(fd, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    ::close(fd);
    EXPECT_FALSE(open_serial_device(slave_path_, nullptr));
}

// Lines the device does not take (nothing reads the other side): written until the port
// keeps a rest, then one raw byte behind it. What was written, in order.
std::string write_until_stalled(SerialPort& port) {
    std::string sent;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    for (int i = 0; i < 100000 && std::chrono::steady_clock::now() < deadline; ++i) {
        const std::string line = "MOVR=" + std::to_string(i) + std::string(90, '0') + "\r";
        port.write(line);
        sent += line;
        // A pseudo-terminal moves bytes between its buffers a little later, and does not
        // always say when that makes room: stalled is when no room comes within 20 ms. The
        // wait is the test of that, not a stand-in for an event.
        if (!port.flush()) {
            pollfd room{port.emergency_fd(), POLLOUT, 0};
            ::poll(&room, 1, 20);
            if (!port.flush()) break;
        }
    }
    port.write("\x1b");
    return sent + '\x1b';
}

// How much a device thread has read so far, for a test that waits until it reads.
class Progress {
  public:
    void set(std::size_t taken) {
        {
            std::lock_guard lock(mutex_);
            taken_ = taken;
        }
        changed_.notify_all();
    }
    bool wait_for_some(std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [this] { return taken_ > 0; });
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t taken_ = 0;
};

// Everything the device side can read within `limit`, up to `want` bytes, reported to
// *progress as it comes; keeps calling port->flush() (when given) so that a waiting rest
// follows.
std::string drain(int master, std::size_t want, SerialPort* port,
                  std::chrono::milliseconds limit = std::chrono::seconds(10),
                  Progress* progress = nullptr) {
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    char buf[4096];
    while (got.size() < want && std::chrono::steady_clock::now() < deadline) {
        if (port) port->flush();
        pollfd p{master, POLLIN, 0};
        if (::poll(&p, 1, 10) > 0 && (p.revents & POLLIN)) {
            const ssize_t n = ::read(master, buf, sizeof buf);
            if (n > 0) got.append(buf, static_cast<std::size_t>(n));
            if (progress) progress->set(got.size());
        }
    }
    return got;
}

TEST_F(PtyPair, WhatTheDeviceCannotTakeAtOnceFollowsWholeAndInOrder) {
    auto port = open_serial_device(slave_path_, nullptr);
    ASSERT_TRUE(port);
    const std::string sent = write_until_stalled(*port);
    ASSERT_FALSE(port->flush()) << "the device never stalled";
    EXPECT_TRUE(drain(master_, sent.size(), port.get()) == sent)
        << "a line was cut or something spliced into it";
}

TEST_F(PtyPair, CloseGivesAWaitingRestOneLastChance) {
    auto port = open_serial_device(slave_path_, nullptr);
    ASSERT_TRUE(port);
    const std::string sent = write_until_stalled(*port);
    ASSERT_FALSE(port->flush());
    Progress progress;
    std::string got;
    std::thread device(
        [&] { got = drain(master_, sent.size(), nullptr, std::chrono::seconds(10), &progress); });
    // The device reads again; only close() may hand over the rest now.
    EXPECT_TRUE(progress.wait_for_some(std::chrono::seconds(10))) << "the device never read";
    port->close();
    device.join();
    EXPECT_TRUE(got == sent);
}

TEST_F(PtyPair, CloseDropsARestTheDeviceNeverTakes) {
    auto port = open_serial_device(slave_path_, nullptr);
    ASSERT_TRUE(port);
    const std::string sent = write_until_stalled(*port);
    ASSERT_FALSE(port->flush());
    port->close();
    EXPECT_EQ(port->emergency_fd(), -1);
    const std::string got = drain(master_, sent.size(), nullptr, std::chrono::milliseconds(200));
    EXPECT_LT(got.size(), sent.size());
    EXPECT_TRUE(sent.compare(0, got.size(), got) == 0) << "what went out is the start, unchanged";
}

// A quiet line reads as no byte, which is no loss. The device's side closed (an adapter
// pulled) is one, noticed by the next read or write.
TEST(SerialPortLoss, DeviceThatGoesAwayIsLostAndGivenBack) {
    for (const bool noticed_by_read : {true, false}) {
        SCOPED_TRACE(noticed_by_read ? "by a read" : "by a write");
        const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(::grantpt(master), 0);
        ASSERT_EQ(::unlockpt(master), 0);
        auto port = open_serial_device(::ptsname(master), nullptr);
        ASSERT_TRUE(port);
        unsigned char b = 0;
        for (int i = 0; i < 50; ++i) EXPECT_FALSE(port->read_byte(b));
        EXPECT_FALSE(port->lost());
        EXPECT_GE(port->emergency_fd(), 0);
        ::close(master);

        if (noticed_by_read) {
            EXPECT_FALSE(port->read_byte(b));
        } else {
            port->write("SSTP\r");
        }
        EXPECT_TRUE(port->lost());
        EXPECT_TRUE(port->flush()) << "nothing is kept for a device that is gone";
        port->close();
        EXPECT_EQ(port->emergency_fd(), -1);
        EXPECT_TRUE(port->lost()) << "stays lost, so that the owner can tell";
    }
}

TEST_F(PtyPair, EachOpenFailureSaysWhy) {
    char file[] = "/tmp/quorvel-port-XXXXXX";
    ASSERT_EQ(::close(::mkstemp(file)), 0);
    const std::string link = std::string(file) + ".link";
    ASSERT_EQ(::symlink(slave_path_.c_str(), link.c_str()), 0);
    const struct {
        std::string path;
        std::string reason;
    } cases[] = {
        {file, "not a serial device"},
        {"/", "not a serial device"},          // told before an open, which a folder fails
        {"/dev/null", "not a serial device"},  // a character device, but no terminal
        {link + ".none", "no such device"},
        // Cut at the NUL it would name the pseudo-terminal, which must stay closed.
        {slave_path_ + std::string("\0x", 2), "no such device"},
    };
    for (const auto& k : cases) {
        std::string reason;
        EXPECT_FALSE(open_serial_device(k.path, &reason)) << k.path;
        EXPECT_EQ(reason, k.reason) << k.path;
    }
    std::string reason;
    EXPECT_TRUE(open_serial_device(link, &reason)) << "a link to a terminal is followed";
    ::unlink(link.c_str());
    ::unlink(file);

    for (const int index : {0, 5}) {
        EXPECT_FALSE(DevicePortProvider().open(index, &reason)) << index;
        EXPECT_EQ(reason, "no such port") << index;
    }
}

TEST(SerialPort, ComNamesMapToDevices) {
    const DevicePortProvider standard;
    EXPECT_EQ(standard.device_name(1), "/dev/ttyS0");
    EXPECT_EQ(standard.device_name(4), "/dev/ttyS3");
    EXPECT_EQ(standard.device_name(0), "");
    const DevicePortProvider named({"", "/dev/ttyUSB0", "", ""});
    EXPECT_EQ(named.device_name(2), "/dev/ttyUSB0");
    EXPECT_EQ(named.device_name(3), "/dev/ttyS2");
}

}  // namespace
}  // namespace quorvel
