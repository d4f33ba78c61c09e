#include "method_file.h"

#include <algorithm>
#include <array>
#include <string>

#include "common/atomic_file.h"
#include "common/sha256.h"

namespace quorvel {
namespace {

// Null when the line was loaded into row `row`, else why it makes the file unacceptable.
const char* load_step_line(MethodTable& t, int row, std::string_view line) {
    // The original kept lines in C strings: nothing after a NUL byte was ever seen.
    line = line.substr(0, line.find('\0'));
    std::array<std::string_view, 5> fields;
    std::size_t start = 0;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (start > line.size()) return "does not hold five texts joined by |";
        const std::size_t bar = line.find('|', start);
        const std::size_t end = bar == std::string_view::npos ? line.size() : bar;
        fields[i] = line.substr(start, end - start);
        if (fields[i].empty()) return "has an empty text";
        if (fields[i].size() > StepText::kMax) return "has a text longer than 19 characters";
        start = bar == std::string_view::npos ? line.size() + 1 : bar + 1;
    }
    if (row >= kMethodRows) return "is a 100th step (a method holds 99)";
    MethodStep& s = t[row];
    s.action_text = fields[0];
    s.amount_text = fields[1];
    s.rate_text = fields[2];
    s.wait_text = fields[3];
    s.event_text = fields[4];
    return nullptr;
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

int write_method_file(const MethodTable& t, const std::filesystem::path& path, int count,
                      std::string* error) {
    return write_file_atomically(path, format_method_text(t, count), error) ? 1 : 0;
}

std::filesystem::path with_method_extension(const std::filesystem::path& chosen) {
    std::string name = chosen.filename().string();
    // "a.b.pmf" is the file the operator confirmed; cut at its first full stop it would be
    // a.pmf, another method, replaced without a question.
    if (name.size() > 4 && name.ends_with(".pmf")) return chosen;
    name = name.substr(0, name.find('.')) + ".pmf";
    return chosen.parent_path() / name;
}

bool MethodTextParser::feed(std::string_view bytes) {
    if (refused_) return false;
    for (const char c : bytes) {
        // The LF of a CR LF pair ends no further line.
        const bool second_of_pair = c == '\n' && after_cr_;
        after_cr_ = c == '\r';
        if (c != '\r' && c != '\n') {
            if (line_.size() < kMethodFileLineKeep) line_.push_back(c);
            continue;
        }
        if (!line_.empty() && line_[0] != ';') {
            if (const char* why = load_step_line(t_, rows_, line_)) {
                refused_ = true;
                reason_ = "line " + std::to_string(line_number_) + " " + why;
                return false;
            }
            ++rows_;
        }
        line_.clear();
        if (!second_of_pair) ++line_number_;
    }
    return true;
}

std::string MethodTextParser::reason() const {
    if (refused_) return reason_;
    if (rows_ > 0) return {};
    if (!line_.empty() && line_[0] != ';')
        return "it holds no method steps (its last line has no line end)";
    return "it holds no method steps";
}

int parse_method_text(MethodTable& t, std::string_view bytes) {
    MethodTextParser parser(t);
    parser.feed(bytes);
    return parser.rows();
}

int read_method_file(MethodTable& t, const std::filesystem::path& path, std::string* reason,
                     std::string* sha256) {
    MethodTextParser parser(t);
    Sha256 digest;
    std::string why;
    const FileReadEnd end = read_regular_file(
        path, kMethodFileMaxBytes,
        [&](std::string_view b) {
            digest.update(b);
            return parser.feed(b);
        },
        &why);
    if (end == FileReadEnd::Stopped || end == FileReadEnd::Ended) why = parser.reason();
    if (reason) *reason = why;
    if (sha256) *sha256 = digest.hex_digest();
    return end == FileReadEnd::Ended ? parser.rows() : 0;
}

}  // namespace quorvel
