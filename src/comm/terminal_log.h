#pragma once
// The ring of the last 20 pump lines that the Terminal window shows. The communication
// thread appends; the Terminal window takes and resets. Any thread.

#include <array>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel {

struct CommState;

class TerminalLog {
  public:
    static constexpr int kSlots = 20;

    // Stores the line and advances write_index. When 20 lines arrive unread, the ring
    // wraps onto itself and reads as empty: those lines are lost, as the window expects.
    void append(std::string_view line);
    // Takes every waiting line in order (empty lines included), advancing read_index.
    std::vector<std::string> take_waiting();
    // Forgets every waiting line (both indices 0).
    void reset();
    int write_index() const;
    int read_index() const;

  private:
    mutable std::mutex mutex_;
    std::array<std::string, kSlots> lines_;
    int write_index_ = 0;
    int read_index_ = 0;
};

// Appends a completed pump line and tells c's events.
void append_terminal_line(CommState& c, std::string_view line);

}  // namespace quorvel
