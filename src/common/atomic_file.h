#pragma once
// Replaces a file so that a crash or power cut leaves either the old or the new contents,
// never a truncated file: write a temporary file beside it, flush it to disk, rename it
// over the target, then sync the directory. Any thread.

#include <filesystem>
#include <string_view>

namespace quorvel {

// True when the new contents are in place. On failure the old file is untouched, no
// temporary file is left behind, and *error says why.
bool write_file_atomically(const std::filesystem::path& target, std::string_view contents,
                           std::string* error = nullptr);

}  // namespace quorvel
