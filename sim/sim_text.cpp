#include "sim_text.h"

#include <array>
#include <charconv>
#include <cmath>

namespace quorvel::sim::detail {
namespace {

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

char to_lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

std::string normalize(std::string_view line) {
    std::string out;
    out.reserve(line.size());
    bool pending_space = false;
    for (char c : line) {
        if (is_blank(c)) {
            pending_space = !out.empty();
            continue;
        }
        if (pending_space) out.push_back(' ');
        pending_space = false;
        out.push_back(to_lower(c));
    }
    return out;
}

std::optional<double> parse_number(std::string_view text) {
    while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
    // from_chars rejects a leading '+', which the controller accepts.
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && (text.front() == '+' || text.front() == '-')) return std::nullopt;
    }
    if (text.empty()) return std::nullopt;
    double value = 0.0;
    const auto res = std::from_chars(text.data(), text.data() + text.size(), value);
    if (res.ec != std::errc() || res.ptr != text.data() + text.size()) return std::nullopt;
    if (!std::isfinite(value)) return std::nullopt;
    return value;
}

std::string format_g(double value) {
    std::array<char, 64> buf{};
    const auto res =
        std::to_chars(buf.data(), buf.data() + buf.size(), value, std::chars_format::general, 6);
    return std::string(buf.data(), res.ec == std::errc() ? res.ptr : buf.data());
}

}  // namespace quorvel::sim::detail
