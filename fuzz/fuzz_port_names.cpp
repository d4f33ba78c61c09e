// Port names: any override for COM1..COM4 maps to exactly that name (and is only looked
// at, never opened), and opening what the names point to never blocks or crashes. The
// opens stay inside a folder prepared once with one of each kind of thing a name can
// point to: a regular file, a folder, a FIFO, symlinks (to the file, to nothing, to
// themselves) and a pseudo-terminal. Every failure carries a reason; a port that opened
// can be written and closed; only the pseudo-terminal ever opens, and always when free.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>

#include "comm/serial_port.h"
#include "fuzz_input.h"

namespace {

using quorvel::fuzzing::Input;

using namespace quorvel;

class Playground {
  public:
    Playground() {
        char dir[] = "/tmp/quorvel-fuzz-ports-XXXXXX";
        if (!::mkdtemp(dir)) std::abort();
        dir_ = dir;
        std::ofstream(dir_ / "file") << "not a port\n";
        std::filesystem::create_directory(dir_ / "folder");
        if (::mkfifo((dir_ / "fifo").c_str(), 0600) != 0) std::abort();
        std::filesystem::create_symlink(dir_ / "file", dir_ / "link");
        std::filesystem::create_symlink(dir_ / "nothing", dir_ / "dangling");
        std::filesystem::create_symlink(dir_ / "loop", dir_ / "loop");
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) std::abort();
        std::filesystem::create_symlink(::ptsname(master_), dir_ / "pty");
    }
    ~Playground() {
        ::close(master_);
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    std::string path(std::string_view name) const {
        return dir_.string() + "/" + std::string(name);
    }
    // What the ports wrote, so the pseudo-terminal never fills up.
    void drain() const {
        char buf[4096];
        while (::read(master_, buf, sizeof buf) > 0) {
        }
    }

  private:
    std::filesystem::path dir_;
    int master_ = -1;
};

const Playground& playground() {
    static const Playground p;
    return p;
}

constexpr std::array<std::string_view, 9> kNames{"pty",  "file",     "folder",  "fifo", "link",
                                                 "loop", "dangling", "nothing", ""};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Playground& place = playground();
    Input in(data, size);

    std::array<std::string, 4> overrides;
    for (std::string& o : overrides) o = in.bytes(in.byte() % 32);
    const DevicePortProvider named(overrides);
    for (int index = -1; index <= 6; ++index) {
        const std::string name = named.device_name(index);
        if (index < 1 || index > 4) {
            if (!name.empty()) std::abort();
            continue;
        }
        const std::string& o = overrides[static_cast<std::size_t>(index - 1)];
        if (name != (o.empty() ? "/dev/ttyS" + std::to_string(index - 1) : o)) std::abort();
    }

    std::unique_ptr<SerialPort> held;  // an open port kept across opens
    bool pty_held = false;
    while (!in.done()) {
        const std::uint8_t op = in.byte();
        const std::string_view name = kNames[op % kNames.size()];
        std::string suffix;
        if (op & 0x10) {
            // Anything may follow the name except a way out of the folder.
            suffix = in.bytes(in.byte() % 8);
            for (char& c : suffix) {
                if (c == '.') c = '_';
            }
        }
        const std::string path = place.path(name) + suffix;
        int index = (op >> 5) % 4 + 1;
        if ((op & 0x0f) == 0x0f) index = (op & 0x80) ? 0 : 5;  // no such COM port

        std::array<std::string, 4> confined;
        if (index >= 1 && index <= 4) confined[static_cast<std::size_t>(index - 1)] = path;
        std::string reason;
        std::unique_ptr<SerialPort> port = DevicePortProvider(confined).open(index, &reason);
        // The empty name with a suffix can spell the terminal's own name too.
        const bool is_pty = index >= 1 && index <= 4 && path == place.path("pty");
        if (!port) {
            if (reason.empty()) std::abort();
            if (is_pty && !pty_held) std::abort();  // a free terminal always opens
            continue;
        }
        if (!is_pty || pty_held) std::abort();
        if (port->lost() || port->emergency_fd() < 0) std::abort();
        port->write("SSTP\r");
        port->flush();
        if ((op & 0x40) && !held) {
            held = std::move(port);
            pty_held = true;
            continue;
        }
        port->close();
        if (port->emergency_fd() != -1) std::abort();
    }
    if (held) held->close();
    place.drain();
    return 0;
}
