#pragma once
// Unsaved method edits kept for an ending that could not ask about them (a signal, the display
// lost): an ordinary .pmf in the state folder, and a note that the next start reads to say
// where it is. Any thread.

#include <filesystem>
#include <string>
#include <vector>

#include "method/method_table.h"

namespace quorvel {

struct RecoveryCopy {
    std::filesystem::path path;  // empty when nothing was written
    std::string error;           // why, when nothing was written
};

// Writes rows 0..count-1 into `folder` (made when missing) as "<name>-unsaved-<time>.pmf",
// <name> being the method's file name without ".pmf" or "untitled", and notes it.
RecoveryCopy write_recovery_copy(const MethodTable& t, int count, const std::string& title,
                                 const std::filesystem::path& folder);

// The copies noted by earlier endings, oldest first; the note is gone afterwards.
std::vector<std::filesystem::path> take_recovery_notes(const std::filesystem::path& folder);

inline constexpr const char* kRecoveryNoteName = "unsaved-methods.txt";

}  // namespace quorvel
