#pragma once
// A file of records, one line each, that several runs append to: every line goes out with
// one write() at the end of the file, so a run killed at any moment, or another run writing
// at the same time, leaves whole lines. One owner thread.

#include <string>
#include <string_view>

#include "common/unique_fd.h"

namespace quorvel {

class RecordLog {
  public:
    // Opens (creating) the file for appending. A FIFO, device or folder is refused, so
    // nothing can block here. False with *error set when it cannot be had.
    bool open(const std::string& path, std::string* error);
    bool is_open() const { return fd_.valid(); }
    // The line and its newline, as one write. False with *error set when it failed.
    bool append(std::string_view line, std::string* error);
    // Everything appended is on the disk when this returns true.
    bool sync(std::string* error);

  private:
    UniqueFd fd_;
};

}  // namespace quorvel
