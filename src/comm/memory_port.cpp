#include "memory_port.h"

namespace quorvel {

bool MemoryPort::read_byte(unsigned char& out) {
    std::lock_guard lock(mutex_);
    while (!closed_ && !incoming_.empty()) {
        const unsigned char b = incoming_.front();
        incoming_.pop_front();
        if (b != 0) {  // like the real port, NUL bytes never arrive
            out = b;
            return true;
        }
    }
    return false;
}

void MemoryPort::write(std::string_view bytes) {
    std::lock_guard lock(mutex_);
    if (!closed_) written_.append(bytes);
}

void MemoryPort::close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
}

void MemoryPort::feed(std::string_view bytes) {
    std::lock_guard lock(mutex_);
    incoming_.insert(incoming_.end(), bytes.begin(), bytes.end());
}

std::string MemoryPort::written() const {
    std::lock_guard lock(mutex_);
    return written_;
}

std::vector<std::string> MemoryPort::written_lines() const {
    std::vector<std::string> lines;
    std::string current;
    for (const char c : written()) {
        if (c == '\r') {
            lines.push_back(current);
            current.clear();
        } else {
            current.push_back(c);
        }
    }
    return lines;
}

void MemoryPort::clear_written() {
    std::lock_guard lock(mutex_);
    written_.clear();
}

bool MemoryPort::closed() const {
    std::lock_guard lock(mutex_);
    return closed_;
}

std::size_t MemoryPort::pending_input() const {
    std::lock_guard lock(mutex_);
    return incoming_.size();
}

}  // namespace quorvel
