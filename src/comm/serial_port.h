#pragma once
// A serial port as the communication thread sees it: one byte at a time in, whole lines
// out. Implementations: the POSIX termios backend below (serial adapters and
// pseudo-terminals) and an in-memory port for tests. A port object is used by one thread
// at a time; DeviceLink's port_mutex provides that. Ports come from a PortProvider, which
// knows what COM1..COM4 are in this run.

#include <array>
#include <memory>
#include <string>
#include <string_view>

namespace quorvel {

class SerialPort {
  public:
    virtual ~SerialPort() = default;
    // True with a byte when one is waiting; otherwise false, after waiting about 1 ms for
    // the next byte when the last read brought one (the rest of a line on its way). A quiet
    // line is not waited on, so an idle port costs one look a pass. A failed read counts as
    // no byte; a hang-up makes the port lost(). Received NUL bytes are discarded.
    virtual bool read_byte(unsigned char& out) = 0;
    // Hands the bytes to the device whole. What a slow device does not take at once is
    // kept and completed by flush() before any later byte goes out, so a line is never
    // cut short nor another byte spliced into it.
    virtual void write(std::string_view bytes) = 0;
    // Pushes on with bytes the device has not taken yet, without waiting; true when none
    // are left.
    virtual bool flush() { return true; }
    // True once the device has gone away (hang-up, I/O error, adapter pulled); from then
    // on the port reads and writes nothing, and close() gives the device back.
    virtual bool lost() const { return false; }
    virtual void close() = 0;
    // The descriptor a crash handler may write the escape byte to, or -1. Nothing else
    // may use it.
    virtual int emergency_fd() const { return -1; }
    // A descriptor that polls readable (or hung up) whenever read_byte() could bring
    // something new, so that one poll can tell which of several quiet ports need a read; -1
    // when the port cannot say, and is then read every time. Only to be polled.
    virtual int input_fd() const { return -1; }
    // True when read_byte() has something for the caller that input_fd() does not show:
    // bytes already taken from the device, or a line still coming in.
    virtual bool input_pending() const { return false; }
};

// What COM1..COM4 are. Any thread.
class PortProvider {
  public:
    virtual ~PortProvider() = default;
    // Opens port `index` (1..4) exclusively and configured; null with the reason.
    virtual std::unique_ptr<SerialPort> open(int index, std::string* reason) = 0;
    // The device behind a port, as the operator should be told it ("/dev/ttyS0").
    virtual std::string device_name(int index) const = 0;
};

// COM1..COM4 as serial devices: /dev/ttyS0../dev/ttyS3, unless another device was named
// for a port (QUORVEL_COMn, read once when the provider is made).
class DevicePortProvider final : public PortProvider {
  public:
    // overrides[n]: the device for COM(n+1) when not empty.
    explicit DevicePortProvider(std::array<std::string, 4> overrides = {});
    static DevicePortProvider from_environment();

    std::unique_ptr<SerialPort> open(int index, std::string* reason) override;
    std::string device_name(int index) const override;

  private:
    std::array<std::string, 4> paths_;
};

// Opens and configures a device exclusively: raw 9600 8N1, no flow control, DTR and RTS
// dropped, both buffers flushed. Null on failure, with the reason in *reason.
std::unique_ptr<SerialPort> open_serial_device(const std::string& path, std::string* reason);

}  // namespace quorvel
