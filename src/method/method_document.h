#pragma once
// The method file in memory: where it came from and whether it has unsaved changes.
// Window thread only.

#include <string>

namespace quorvel {

struct MethodDocument {
    std::string method_path;   // empty for a new method
    std::string method_title;  // file name without its folder; empty for a new method
    bool method_modified = false;
    bool close_after_save = false;
};

}  // namespace quorvel
