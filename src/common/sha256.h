#pragma once
// SHA-256, for the record of which file a run used. Any thread.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace quorvel {

class Sha256 {
  public:
    void update(std::string_view bytes);
    // The digest of everything given, as 64 lower-case hexadecimal digits. Once.
    std::string hex_digest();

  private:
    void compress(const unsigned char* block);

    std::array<std::uint32_t, 8> h_ = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                       0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::array<unsigned char, 64> block_{};
    std::size_t held_ = 0;  // bytes in block_
    std::uint64_t length_ = 0;
};

std::string sha256_hex(std::string_view bytes);

}  // namespace quorvel
