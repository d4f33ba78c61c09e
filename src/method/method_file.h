#pragma once
// .pmf method files: a comment header, then one line per step with the five texts of the
// row joined by "|", every line ended by CR LF. Any thread, on a table the caller owns.

#include <filesystem>
#include <string>
#include <string_view>

#include "method/method_table.h"

namespace quorvel {

inline constexpr std::string_view kMethodFileHeader =
    ";...Tamsel pump method file...Do not edit!...";
inline constexpr std::size_t kMethodFileLineKeep = 180;

// The file's exact bytes for rows 0..count-1 (count is held to 0..99).
std::string format_method_text(const MethodTable& t, int count);

// Writes rows 0..count-1 aside and renames over the target. 1 on success, 0 when the file
// could not be written (the old file then stays as it was).
int write_method_file(const MethodTable& t, const std::filesystem::path& path, int count);

// Loads the step lines into rows 0, 1, ... and returns how many; 0 means the caller must not
// use the table. A step line with fewer than five fields or an empty one gives 0, and so
// does a field longer than 19 characters or a 100th step line: a method that does not fit
// is refused whole rather than run cut short or with altered numbers.
int parse_method_text(MethodTable& t, std::string_view bytes);
int read_method_file(MethodTable& t, const std::filesystem::path& path);

}  // namespace quorvel
