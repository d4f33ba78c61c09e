#pragma once
// Locale-independent versions of the C number conversions the file formats and the
// controller protocol are defined by. The windowing toolkit may switch the process locale
// (a decimal comma would corrupt setup.txt and every command line), so nothing here
// depends on it. Any thread.

#include <string>
#include <string_view>

namespace quorvel {

// atof(): leading white space skipped, optional sign, longest number prefix; no number gives 0.
double c_atof(std::string_view text);

// atoi(): as atof for integers; values beyond the int range saturate instead of wrapping.
int c_atoi(std::string_view text);

// printf("%<width>.<precision>f", value) in the C locale.
std::string format_fixed(double value, int width, int precision);

// Case-insensitive (ASCII) test that text begins with prefix.
bool starts_with_nocase(std::string_view text, std::string_view prefix);

}  // namespace quorvel
