#pragma once
// Replaces a file so that a crash or power cut leaves either the old or the new contents,
// never a truncated file: write a temporary file beside it, flush it to disk, rename it
// over the target, then sync the directory. Any thread.

#include <filesystem>
#include <string_view>

namespace quorvel {

// True when the new contents are in place. On failure the old file is untouched and no
// temporary file is left behind.
bool write_file_atomically(const std::filesystem::path& target, std::string_view contents);

}  // namespace quorvel
