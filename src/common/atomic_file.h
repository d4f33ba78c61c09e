#pragma once
// Files with ordinary file semantics. Writing replaces a file so that a crash or power cut
// leaves either the old or the new contents, never a truncated file: the new contents go to
// a temporary file beside it, are flushed to disk and renamed over the target, then the
// directory is synced. Reading never blocks on a FIFO or device named as a file and never
// holds more than a small buffer. Any thread.

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

namespace quorvel {

struct AtomicWriteOptions {
    // An unnamed temporary (O_TMPFILE) leaves nothing behind when the save is killed; false
    // goes straight to the named temporary that filesystems without it get.
    bool unnamed_temporary = true;
};

// True when the new contents are in place. A symbolic link (or a chain of them) is followed
// and the file it names is replaced, a dangling one creating it; the links stay. In a
// sticky world-writable folder (/tmp) only a link of the user's own or of the folder's
// owner is followed; the save fails on any other. The file keeps its mode (and its owner
// and group where the caller may set them); a new file gets 0666 less the umask. Refused,
// with the old file untouched and nothing left behind: a file the caller may not write, and
// anything that is not a regular file. When the folder refuses a new file but the file
// itself is writable, it is rewritten in place (not atomically). On failure *error holds a
// reason an operator can read.
bool write_file_atomically(const std::filesystem::path& target, std::string_view contents,
                           std::string* error = nullptr);
bool write_file_atomically(const std::filesystem::path& target, std::string_view contents,
                           std::string* error, const AtomicWriteOptions& options);

enum class FileReadEnd {
    Unopenable,  // missing, not readable, or not a regular file
    TooLarge,    // more than the limit, whether by its size or by what reading delivered
    Stopped,     // the consumer asked to stop
    Ended,       // end of file, or a read error (which ends a file the same way)
};

// Hands a regular file to `consume` in pieces of a few kilobytes until it returns false or
// the file ends. A FIFO, device, directory or socket is refused before it is opened, so
// nothing blocks and no device sees an open. For Unopenable and TooLarge, *reason says why
// in words that follow "this file: " ("it is a folder").
FileReadEnd read_regular_file(const std::filesystem::path& path, std::size_t max_bytes,
                              const std::function<bool(std::string_view)>& consume,
                              std::string* reason = nullptr);

}  // namespace quorvel
