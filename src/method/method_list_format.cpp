#include "method_list_format.h"

#include <algorithm>

#include "common/numeric_text.h"

namespace quorvel {
namespace {

// Writes text at column col followed by one blank; later pieces overwrite earlier ones.
void put(std::string& line, long col, std::string_view text) {
    const std::string piece = std::string(text) + ' ';
    for (std::size_t i = 0; i < piece.size(); ++i) {
        const long at = col + static_cast<long>(i);
        if (at >= 0 && at < static_cast<long>(line.size())) line[at] = piece[i];
    }
}

// Right-aligned so that the last character lands in column last_col.
void put_right(std::string& line, long last_col, std::string_view text) {
    put(line, last_col + 1 - static_cast<long>(text.size()), text);
}

bool is_yes(const StepText& t) {
    const char c = t.at(0);
    return c == 'T' || c == 't' || c == 'Y' || c == 'y';
}

}  // namespace

std::string method_row_line(const MethodStep& row, int r) {
    std::string line(kMethodLineWidth, ' ');
    const std::string number = std::to_string(r + 1);
    put_right(line, 1, number);
    put(line, 5, row.action_text.str());
    // Rows are told apart by the start of their action word, not by decoding.
    const std::string& action = row.action_text.str();
    if (starts_with_nocase(action, "mul")) {
        if (row.amount_text.at(0) != '0') {
            put(line, 19, "pos.=");
            put(line, 25, row.amount_text.str());
        }
        if (!row.rate_text.empty()) {
            put(line, 32, "dir.=");
            const char d = row.rate_text.at(1);
            put(line, 38, d == 'W' ? "CW" : d == 'C' ? "CCW" : "Short");
        }
    } else if (starts_with_nocase(action, "2 p")) {
        if (row.amount_text.at(0) != '0') {
            put(line, 19, "pos.=");
            put(line, 25, row.amount_text.at(0) == '1' ? "A" : "B");
        }
    } else {
        put_right(line, 23, row.amount_text.str());
        put_right(line, 38, row.rate_text.str());
    }
    if (row.wait_text.at(0) != '0') put_right(line, 53, row.wait_text.str());
    if (is_yes(row.event_text)) put(line, 65, "Yes");
    return line;
}

std::vector<std::string> render_method_list(const MethodTable& t, int n) {
    n = std::clamp(n, 0, kMethodRows);
    std::vector<std::string> lines;
    lines.reserve(static_cast<std::size_t>(n));
    for (int r = 0; r < n; ++r) lines.push_back(method_row_line(t[r], r));
    return lines;
}

std::string render_method_row(const MethodTable& t, int r) {
    if (r < 0 || r >= kMethodRows) return {};
    return method_row_line(t[r], r);
}

}  // namespace quorvel
