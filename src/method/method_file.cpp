#include "method_file.h"

#include <algorithm>
#include <array>
#include <fstream>
#include <iterator>

#include "common/atomic_file.h"

namespace quorvel {
namespace {

// 1 when the line was loaded into row `row`, 0 when it makes the file unacceptable.
int load_step_line(MethodTable& t, int row, std::string_view line) {
    // The original kept lines in C strings: nothing after a NUL byte was ever seen.
    line = line.substr(0, line.find('\0'));
    std::array<std::string_view, 5> fields;
    std::size_t start = 0;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (start > line.size()) return 0;
        const std::size_t bar = line.find('|', start);
        const std::size_t end = bar == std::string_view::npos ? line.size() : bar;
        fields[i] = line.substr(start, end - start);
        if (fields[i].empty() || fields[i].size() > StepText::kMax) return 0;
        start = bar == std::string_view::npos ? line.size() + 1 : bar + 1;
    }
    if (row >= kMethodRows) return 0;
    MethodStep& s = t[row];
    s.action_text = fields[0];
    s.amount_text = fields[1];
    s.rate_text = fields[2];
    s.wait_text = fields[3];
    s.event_text = fields[4];
    return 1;
}

}  // namespace

std::string format_method_text(const MethodTable& t, int count) {
    count = std::clamp(count, 0, kMethodRows);
    std::string out(kMethodFileHeader);
    out += "\r\n";
    for (int r = 0; r < count; ++r) {
        const MethodStep& s = t[r];
        out += s.action_text.str() + "|" + s.amount_text.str() + "|" + s.rate_text.str() + "|" +
               s.wait_text.str() + "|" + s.event_text.str() + "\r\n";
    }
    return out;
}

int write_method_file(const MethodTable& t, const std::filesystem::path& path, int count) {
    return write_file_atomically(path, format_method_text(t, count)) ? 1 : 0;
}

int parse_method_text(MethodTable& t, std::string_view bytes) {
    int rows = 0;
    std::string line;
    for (const char c : bytes) {
        if (c != '\r' && c != '\n') {
            if (line.size() < kMethodFileLineKeep) line.push_back(c);
            continue;
        }
        if (line.empty()) continue;
        if (line[0] != ';') {
            if (load_step_line(t, rows, line) == 0) return 0;
            ++rows;
        }
        line.clear();
    }
    return rows;  // an unterminated last line is dropped
}

int read_method_file(MethodTable& t, const std::filesystem::path& path) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) return 0;
    std::ifstream in(path, std::ios::binary);
    if (!in) return 0;
    const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    return parse_method_text(t, bytes);
}

}  // namespace quorvel
