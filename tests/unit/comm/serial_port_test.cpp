#include "comm/serial_port.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
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
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
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

TEST_F(PtyPair, HangUpIsNoByteNotACrash) {
    auto port = open_serial_device(slave_path_, nullptr);
    ASSERT_TRUE(port);
    device_sends("ab");
    EXPECT_EQ(read_all(*port, 2), "ab");
    ::close(master_);
    master_ = ::open("/dev/null", O_RDONLY);  // for TearDown
    unsigned char b = 0;
    for (int i = 0; i < 5; ++i) EXPECT_FALSE(port->read_byte(b));
    port->write("still alive\r");
}

TEST(SerialPort, FailuresCarryAReason) {
    std::string reason;
    EXPECT_FALSE(open_serial_device("/nonexistent/ttyX", &reason));
    EXPECT_EQ(reason, "no such device");
    char file[] = "/tmp/quorvel-notatty-XXXXXX";
    const int fd = ::mkstemp(file);
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(open_serial_device(file, &reason));
    EXPECT_EQ(reason, "not a serial device");
    ::close(fd);
    ::unlink(file);
    DevicePortProvider ports;
    EXPECT_FALSE(ports.open(0, &reason));
    EXPECT_FALSE(ports.open(5, &reason));
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
