#pragma once
// .pmf method files: a comment header, then one line per step with the five texts of the
// row joined by "|", every line ended by CR LF. Any thread, on a table the caller owns.

#include <cstddef>
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
// could not be written (the old file then stays as it was, and *error says why).
int write_method_file(const MethodTable& t, const std::filesystem::path& path, int count,
                      std::string* error = nullptr);

// The path a method is saved under when the operator chose `chosen`: a name ending in ".pmf"
// as it is, any other cut at its first full stop, then ".pmf" ("run.2.txt" becomes
// "run.pmf"); a full stop in a folder's name is left alone.
std::filesystem::path with_method_extension(const std::filesystem::path& chosen);

// Loads the step lines into rows 0, 1, ... and returns how many; 0 means the caller must not
// use the table. A step line with fewer than five fields or an empty one gives 0, and so
// does a field longer than 19 characters or a 100th step line: a method that does not fit
// is refused whole rather than run cut short or with altered numbers.
int parse_method_text(MethodTable& t, std::string_view bytes);

// The same rules for a text handed over in pieces of any size, holding one line at most.
class MethodTextParser {
  public:
    explicit MethodTextParser(MethodTable& t) : t_(t) {}
    // False once the text can no longer be accepted; nothing after that needs reading.
    bool feed(std::string_view bytes);
    // The result for a text that ends here (an unterminated last line is dropped).
    int rows() const { return refused_ ? 0 : rows_; }
    // Why rows() is 0, for the operator ("line 3 has an empty text"); empty when it is not.
    std::string reason() const;

  private:
    MethodTable& t_;
    std::string line_;
    std::string reason_;
    int rows_ = 0;
    int line_number_ = 1;
    bool after_cr_ = false;
    bool refused_ = false;
};

// A file that is not a regular file, or is larger than kMethodFileMaxBytes, gives 0 without
// being read. When the result is 0, *reason says why in words that follow "this file: ".
// *sha256 gets the SHA-256 of the bytes read, in hexadecimal.
inline constexpr std::size_t kMethodFileMaxBytes = 1 << 20;  // a full method is about 10 kB
int read_method_file(MethodTable& t, const std::filesystem::path& path,
                     std::string* reason = nullptr, std::string* sha256 = nullptr);

}  // namespace quorvel
