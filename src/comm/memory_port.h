#pragma once
// An in-memory serial port for tests and fuzzing: the test feeds what the device "sends"
// and reads back what the program wrote. It can also play a device that takes only a few
// bytes at a time (a stalled adapter) or one that goes away, as the real port's contract
// describes them. Any thread.

#include <cstddef>
#include <deque>
#include <limits>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "comm/serial_port.h"

namespace quorvel {

class MemoryPort final : public SerialPort {
  public:
    bool read_byte(unsigned char& out) override;
    void write(std::string_view bytes) override;
    bool flush() override;
    bool lost() const override;
    // One more push of a waiting rest, then it is dropped.
    void close() override;

    void feed(std::string_view bytes);
    // What the device has taken.
    std::string written() const;
    // What was written, split at CR (an unterminated tail is left out).
    std::vector<std::string> written_lines() const;
    void clear_written();
    bool closed() const;
    std::size_t pending_input() const;

    // The device takes at most this many bytes per write() or flush() call (0: none);
    // the rest waits in the port.
    void limit_intake(std::size_t bytes_per_call);
    void take_all() { limit_intake(std::numeric_limits<std::size_t>::max()); }
    // Written but not yet taken by the device.
    std::string waiting_output() const;
    // The device goes away: lost() from now on, nothing more is read or written.
    void hang_up();
    // NUL bytes are handed on like any other byte, as a port that does not discard them.
    void pass_nul_bytes(bool pass);

  private:
    bool push_locked();

    mutable std::mutex mutex_;
    std::deque<unsigned char> incoming_;
    std::string written_;
    std::string rest_;
    std::size_t intake_ = std::numeric_limits<std::size_t>::max();
    bool closed_ = false;
    bool lost_ = false;
    bool pass_nul_ = false;
};

}  // namespace quorvel
