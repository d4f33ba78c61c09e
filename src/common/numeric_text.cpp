#include "numeric_text.h"

#include <locale.h>
#include <stdlib.h>

#include <array>
#include <cctype>
#include <charconv>
#include <climits>
#include <string>

namespace quorvel {
namespace {

locale_t c_locale() {
    static const locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return loc;
}

}  // namespace

double c_atof(std::string_view text) {
    const std::string copy(text);  // strtod needs a terminator
    return strtod_l(copy.c_str(), nullptr, c_locale());
}

int c_atoi(std::string_view text) {
    const std::string copy(text);
    const long long v = strtoll_l(copy.c_str(), nullptr, 10, c_locale());
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}

std::string format_fixed(double value, int width, int precision) {
    // 1e308 printed with 8 decimals needs 318 characters.
    std::array<char, 400> buf{};
    const auto res = std::to_chars(buf.data(), buf.data() + buf.size(), value,
                                   std::chars_format::fixed, precision);
    std::string out(buf.data(), res.ec == std::errc() ? res.ptr : buf.data());
    if (static_cast<int>(out.size()) < width) out.insert(0, width - out.size(), ' ');
    return out;
}

bool starts_with_nocase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(text[i])) !=
            std::toupper(static_cast<unsigned char>(prefix[i])))
            return false;
    }
    return true;
}

}  // namespace quorvel
