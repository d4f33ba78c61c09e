#pragma once
// A serial port as the communication thread sees it: one byte at a time in, whole buffers
// out. Implementations: the POSIX termios backend below (serial adapters and
// pseudo-terminals) and an in-memory port for tests. A port object is used by one thread
// at a time; DeviceLink's port_mutex provides that.

#include <memory>
#include <string>
#include <string_view>

namespace quorvel {

class SerialPort {
  public:
    virtual ~SerialPort() = default;
    // True with a byte when one is waiting; otherwise waits about 1 ms and gives false.
    // A failed read counts as no byte. Received NUL bytes are discarded.
    virtual bool read_byte(unsigned char& out) = 0;
    // Writes the whole buffer as one unit; failures and short writes are not reported.
    virtual void write(std::string_view bytes) = 0;
    virtual void close() = 0;
};

// The device behind COM1..COM4: $QUORVEL_COMn when set and not empty, else /dev/ttyS(n-1).
// Empty for an index outside 1..4.
std::string serial_device_path(int index);

// Opens and configures a device exclusively: raw 9600 8N1, no flow control, DTR and RTS
// dropped, both buffers flushed. Null on failure, with the reason in *reason.
std::unique_ptr<SerialPort> open_serial_device(const std::string& path, std::string* reason);

// open_serial_device(serial_device_path(index)); an index outside 1..4 names no port.
std::unique_ptr<SerialPort> open_serial_port(int index, std::string* reason = nullptr);

}  // namespace quorvel
