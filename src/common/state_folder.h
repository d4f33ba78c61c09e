#pragma once
// Where the program keeps what outlives one run and belongs to no document: recovery copies of
// unsaved methods and what the next start must tell. Any thread.

#include <filesystem>
#include <string>

namespace quorvel {

// $XDG_STATE_HOME/quorvel when that names an absolute folder, else ~/.local/state/quorvel
// (HOME, or the password database's home when HOME is unset). Empty when neither is known.
std::filesystem::path state_folder();

// The folder, made with its parents (0700, as the XDG rules ask) when missing. False with a
// reason when it cannot be made.
bool make_state_folder(const std::filesystem::path& folder, std::string* error);

}  // namespace quorvel
