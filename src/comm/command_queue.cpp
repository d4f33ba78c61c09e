#include "command_queue.h"

#include "shell/system.h"

namespace quorvel {

bool CommandQueue::push(std::string_view text) {
    std::lock_guard lock(mutex_);
    entries_[write_index_].assign(text.substr(0, kMaxText));
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

void CommandQueue::reset() {
    std::lock_guard lock(mutex_);
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
    if (link.port) link.port->close();
    link.port = std::move(port);
    link.has_port.store(link.port != nullptr);
}

void close_port(DeviceLink& link) {
    replace_port(link, nullptr);
}

namespace {
thread_local OverflowMessageDeferral* active_deferral = nullptr;
}

OverflowMessageDeferral::OverflowMessageDeferral(System& sys) : sys_(sys), outer_(active_deferral) {
    active_deferral = this;
}

OverflowMessageDeferral::~OverflowMessageDeferral() {
    active_deferral = outer_;
    if (!overflowed_) return;
    if (outer_) {
        outer_->overflowed_ = true;
    } else {
        sys_.notifier().show_message(WindowId::Main, kQueueOverflowMessage, "");
    }
}

void enqueue_command(System& sys, std::string_view text, DeviceLink& link) {
    if (!link.has_port.load()) return;
    if (!link.queue.push(text)) return;
    if (active_deferral) {
        active_deferral->overflowed_ = true;
    } else {
        sys.notifier().show_message(WindowId::Main, kQueueOverflowMessage, "");
    }
}

void write_raw_byte(DeviceLink& link, std::uint8_t byte) {
    std::lock_guard lock(link.port_mutex);
    if (link.port) link.port->write(std::string_view(reinterpret_cast<const char*>(&byte), 1));
}

}  // namespace quorvel
