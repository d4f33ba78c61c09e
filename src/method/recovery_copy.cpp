#include "recovery_copy.h"

#include <ctime>
#include <fstream>

#include "common/atomic_file.h"
#include "common/state_folder.h"
#include "method/method_file.h"

namespace quorvel {
namespace {

std::string local_time_stamp() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y%m%d-%H%M%S", &tm);
    return buf;
}

}  // namespace

RecoveryCopy write_recovery_copy(const MethodTable& t, int count, const std::string& title,
                                 const std::filesystem::path& folder) {
    RecoveryCopy r;
    if (!make_state_folder(folder, &r.error)) return r;
    std::string name = title.empty() ? "untitled" : title;
    if (name.size() > 4 && name.ends_with(".pmf")) name.resize(name.size() - 4);
    const std::string base = name + "-unsaved-" + local_time_stamp();
    // Two endings in one second must not overwrite each other's copy.
    std::filesystem::path path = folder / (base + ".pmf");
    for (int n = 2; std::filesystem::exists(std::filesystem::symlink_status(path)); ++n)
        path = folder / (base + "-" + std::to_string(n) + ".pmf");
    if (write_method_file(t, path, count, &r.error) == 0) return r;
    std::ofstream note(folder / kRecoveryNoteName, std::ios::binary | std::ios::app);
    note << path.string() << '\n';
    r.path = path;
    return r;
}

std::vector<std::filesystem::path> take_recovery_notes(const std::filesystem::path& folder) {
    std::vector<std::filesystem::path> paths;
    if (folder.empty()) return paths;  // nowhere kept, nothing to tell
    const std::filesystem::path note_path = folder / kRecoveryNoteName;
    std::ifstream note(note_path, std::ios::binary);
    for (std::string line; std::getline(note, line);)
        if (!line.empty()) paths.emplace_back(line);
    note.close();
    std::error_code ec;
    std::filesystem::remove(note_path, ec);
    return paths;
}

}  // namespace quorvel
