#pragma once
// Pieces of one-line JSON records, as a strict reader takes them: strings always valid
// UTF-8, numbers in the C locale and never NaN or infinite. Any thread.

#include <optional>
#include <string>
#include <string_view>

namespace quorvel {

// The text as a JSON string, quotes included. Bytes that are not valid UTF-8 (a file name
// can hold any) become U+FFFD, so the record still parses.
std::string json_string(std::string_view text);
// json_string, or null.
std::string json_string_or_null(const std::optional<std::string>& text);
// The value with `precision` decimals; null when it is not finite.
std::string json_number(double value, int precision);

}  // namespace quorvel
