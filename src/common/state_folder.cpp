#include "state_folder.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace quorvel {

std::filesystem::path state_folder() {
    // A relative XDG_STATE_HOME is invalid and to be ignored.
    if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg && *xdg == '/')
        return std::filesystem::path(xdg) / "quorvel";
    const char* home = std::getenv("HOME");
    if (!home || *home != '/') {
        const passwd* pw = ::getpwuid(::geteuid());
        home = pw ? pw->pw_dir : nullptr;
    }
    if (!home || *home != '/') return {};
    return std::filesystem::path(home) / ".local" / "state" / "quorvel";
}

bool make_state_folder(const std::filesystem::path& folder, std::string* error) {
    if (folder.empty()) {
        if (error) *error = "no home folder is known";
        return false;
    }
    std::filesystem::path built;
    for (const auto& part : folder) {
        built /= part;
        if (::mkdir(built.c_str(), 0700) != 0 && errno != EEXIST) {
            if (error) *error = built.string() + ": " + std::strerror(errno);
            return false;
        }
    }
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        if (error) *error = folder.string() + " is not a folder";
        return false;
    }
    return true;
}

}  // namespace quorvel
