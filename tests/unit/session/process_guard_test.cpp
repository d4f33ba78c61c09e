// A crash of a guarded process, in a child process whose ending is the point of the test.

#include "session/process_guard.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "session/session.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;

// COM1 and COM2: pseudo-terminal slaves made exclusive as a serial device is. A serial
// device frees the mode on its last close; these keep it while the test holds the masters.
class ExclusivePtys final : public PortProvider {
  public:
    std::unique_ptr<SerialPort> open(int index, std::string* reason) override {
        auto port = open_serial_device(device_name(index), reason);
        if (port) ::ioctl(port->emergency_fd(), TIOCEXCL);
        return port;
    }
    std::string device_name(int index) const override {
        return index == 1 || index == 2 ? ::ptsname(masters[index - 1]) : "";
    }
    int masters[2] = {::posix_openpt(O_RDWR | O_NOCTTY), ::posix_openpt(O_RDWR | O_NOCTTY)};
};

TEST(ProcessGuard, ACrashTakesBothPortsOutOfExclusiveMode) {
    ExclusivePtys ports;
    for (const int m : ports.masters)
        ASSERT_TRUE(m >= 0 && ::grantpt(m) == 0 && ::unlockpt(m) == 0);
    std::string dir = fs::temp_directory_path() / "quorvel-guard-XXXXXX";
    ASSERT_TRUE(::mkdtemp(dir.data()));
    std::ofstream(fs::path(dir) / "setup.txt", std::ios::binary) << "com_pump=1\r\ncom_valve=2\r\n";

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::chdir(dir.c_str()) != 0) ::_exit(98);
        SessionListener quiet;
        SessionHooks hooks;
        auto* s = new Session(quiet, ports, {.default_ports = false, .sleep_ms = 5});
        if (!s->start_up(hooks) || !s->sys().comm.valve.has_port.load()) ::_exit(97);
        guard_process_exit(*s);
        ::raise(SIGSEGV);
        ::_exit(99);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    fs::remove_all(dir);
    ASSERT_TRUE(WIFSIGNALED(status)) << "exit " << WEXITSTATUS(status);
    for (const int index : {1, 2}) {
        const int fd = ::open(ports.device_name(index).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(fd, 0) << "COM" << index;
        int exclusive = 1;
        EXPECT_EQ(::ioctl(fd, TIOCGEXCL, &exclusive), 0);
        EXPECT_EQ(exclusive, 0) << "COM" << index;
        ::close(fd);
        ::close(ports.masters[index - 1]);
    }
}

}  // namespace
}  // namespace quorvel
