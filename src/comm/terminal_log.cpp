#include "terminal_log.h"

#include "comm/comm_state.h"

namespace quorvel {

void TerminalLog::append(std::string_view line) {
    std::lock_guard lock(mutex_);
    lines_[write_index_].assign(line);
    write_index_ = (write_index_ + 1) % kSlots;
}

std::vector<std::string> TerminalLog::take_waiting() {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    while (read_index_ != write_index_) {
        out.push_back(lines_[read_index_]);
        read_index_ = (read_index_ + 1) % kSlots;
    }
    return out;
}

void TerminalLog::reset() {
    std::lock_guard lock(mutex_);
    write_index_ = 0;
    read_index_ = 0;
}

int TerminalLog::write_index() const {
    std::lock_guard lock(mutex_);
    return write_index_;
}

int TerminalLog::read_index() const {
    std::lock_guard lock(mutex_);
    return read_index_;
}

void append_terminal_line(CommState& c, std::string_view line) {
    c.terminal_log.append(line);
    c.events().terminal_line(line);
}

}  // namespace quorvel
