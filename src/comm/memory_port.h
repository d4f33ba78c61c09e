#pragma once
// An in-memory serial port for tests and fuzzing: the test feeds what the device "sends"
// and reads back what the program wrote. Any thread.

#include <deque>
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
    void close() override;

    void feed(std::string_view bytes);
    std::string written() const;
    // What was written, split at CR (an unterminated tail is left out).
    std::vector<std::string> written_lines() const;
    void clear_written();
    bool closed() const;
    std::size_t pending_input() const;

  private:
    mutable std::mutex mutex_;
    std::deque<unsigned char> incoming_;
    std::string written_;
    bool closed_ = false;
};

}  // namespace quorvel
