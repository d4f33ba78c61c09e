#pragma once
// Line handling shared by the simulated devices (not part of the public interface).

#include <optional>
#include <string>
#include <string_view>

namespace quorvel::sim::detail {

// Lower-cased, blanks trimmed at both ends and runs of inner blanks folded to one space,
// so that keyword matching ignores case and spacing the way the controllers do.
std::string normalize(std::string_view line);

// A whole decimal number (optional sign, fraction, exponent) and nothing else; nullopt
// otherwise. Independent of the process locale.
std::optional<double> parse_number(std::string_view text);

// "%g"-style formatting (six significant digits), independent of the process locale.
std::string format_g(double value);

}  // namespace quorvel::sim::detail
