#pragma once
// Reads a fuzz input as a stream of choices and byte runs; past its end every choice is 0.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quorvel::fuzzing {

class Input {
  public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool done() const { return pos_ >= size_; }
    std::uint8_t byte() { return done() ? 0 : data_[pos_++]; }
    // Up to n bytes, fewer at the end.
    std::string_view bytes(std::size_t n) {
        n = std::min(n, size_ - std::min(pos_, size_));
        const std::string_view s(reinterpret_cast<const char*>(data_ + pos_), n);
        pos_ += n;
        return s;
    }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

}  // namespace quorvel::fuzzing
