#include "memory_port.h"

#include <algorithm>

namespace quorvel {

bool MemoryPort::read_byte(unsigned char& out) {
    std::lock_guard lock(mutex_);
    while (!closed_ && !lost_ && !incoming_.empty()) {
        const unsigned char b = incoming_.front();
        incoming_.pop_front();
        if (b != 0 || pass_nul_) {
            out = b;
            return true;
        }
    }
    return false;
}

bool MemoryPort::push_locked() {
    const std::size_t n = std::min(intake_, rest_.size());
    written_.append(rest_, 0, n);
    rest_.erase(0, n);
    return rest_.empty();
}

void MemoryPort::write(std::string_view bytes) {
    std::lock_guard lock(mutex_);
    if (closed_ || lost_) return;
    rest_.append(bytes);
    push_locked();
}

bool MemoryPort::flush() {
    std::lock_guard lock(mutex_);
    if (closed_ || lost_) {
        rest_.clear();
        return true;
    }
    return push_locked();
}

bool MemoryPort::lost() const {
    std::lock_guard lock(mutex_);
    return lost_;
}

void MemoryPort::close() {
    std::lock_guard lock(mutex_);
    if (!closed_ && !lost_) push_locked();
    rest_.clear();
    closed_ = true;
}

void MemoryPort::feed(std::string_view bytes) {
    std::lock_guard lock(mutex_);
    if (lost_) return;
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

void MemoryPort::limit_intake(std::size_t bytes_per_call) {
    std::lock_guard lock(mutex_);
    intake_ = bytes_per_call;
}

std::string MemoryPort::waiting_output() const {
    std::lock_guard lock(mutex_);
    return rest_;
}

void MemoryPort::hang_up() {
    std::lock_guard lock(mutex_);
    lost_ = true;
    incoming_.clear();
    rest_.clear();
}

void MemoryPort::pass_nul_bytes(bool pass) {
    std::lock_guard lock(mutex_);
    pass_nul_ = pass;
}

}  // namespace quorvel
