#include "command_queue.h"

#include <algorithm>

#include "comm/comm_state.h"

namespace quorvel {

bool CommandQueue::push(std::string_view text) {
    // One command is one line on the wire: whatever follows a line end (pasted text, say)
    // would otherwise reach the device as a second command, and a NUL ends a command for
    // any reader that takes it as C text.
    const std::size_t end = text.find_first_of(std::string_view("\r\n\0", 3));
    text = text.substr(0, std::min(end, kMaxText));
    std::lock_guard lock(mutex_);
    if (closed_) return false;
    entries_[write_index_].assign(text);
    write_index_ = (write_index_ + 1) % kSlots;
    return write_index_ == read_index_;
}

std::optional<std::string> CommandQueue::pop() {
    std::lock_guard lock(mutex_);
    if (write_index_ == read_index_) return std::nullopt;
    std::string line = entries_[read_index_];
    read_index_ = (read_index_ + 1) % kSlots;
    return line;
}

int CommandQueue::drop_if(const std::function<bool(std::string_view)>& drop) {
    std::lock_guard lock(mutex_);
    int kept = read_index_;
    int dropped = 0;
    for (int i = read_index_; i != write_index_; i = (i + 1) % kSlots) {
        if (drop(entries_[i])) {
            ++dropped;
            continue;
        }
        if (kept != i) entries_[kept] = std::move(entries_[i]);
        kept = (kept + 1) % kSlots;
    }
    write_index_ = kept;
    return dropped;
}

void CommandQueue::reset() {
    std::lock_guard lock(mutex_);
    write_index_ = 0;
    read_index_ = 0;
}

void CommandQueue::close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    write_index_ = 0;
    read_index_ = 0;
}

bool CommandQueue::empty() const {
    std::lock_guard lock(mutex_);
    return write_index_ == read_index_;
}

int CommandQueue::pending() const {
    std::lock_guard lock(mutex_);
    return (write_index_ - read_index_ + kSlots) % kSlots;
}

int CommandQueue::write_index() const {
    std::lock_guard lock(mutex_);
    return write_index_;
}

int CommandQueue::read_index() const {
    std::lock_guard lock(mutex_);
    return read_index_;
}

void replace_port(DeviceLink& link, std::unique_ptr<SerialPort> port) {
    std::lock_guard lock(link.port_mutex);
    link.emergency_fd.store(-1);
    if (link.port) link.port->close();
    link.port = std::move(port);
    link.has_port.store(link.port != nullptr);
    link.emergency_fd.store(link.port ? link.port->emergency_fd() : -1);
    link.restart_requested.store(true);
}

void close_port(DeviceLink& link) {
    replace_port(link, nullptr);
}

bool port_lost(DeviceLink& link) {
    std::lock_guard lock(link.port_mutex);
    return link.port && link.port->lost();
}

void release_if_lost(DeviceLink& link) {
    if (!link.port || !link.port->lost()) return;
    link.emergency_fd.store(-1);
    link.port->close();
}

void enqueue_command(CommState& c, std::string_view text, DeviceLink& link) {
    if (!link.has_port.load()) return;
    if (link.queue.push(text)) c.events().message(kQueueOverflowMessage, "");
}

void write_raw_byte(DeviceLink& link, std::uint8_t byte) {
    std::lock_guard lock(link.port_mutex);
    if (!link.port) return;
    link.port->write(std::string_view(reinterpret_cast<const char*>(&byte), 1));
    release_if_lost(link);
}

}  // namespace quorvel
