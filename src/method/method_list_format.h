#pragma once
// The step list's text: one 119-character line per row in fixed columns that stand under
// the words of the list's heading. Any thread.

#include <string>
#include <vector>

#include "method/method_table.h"

namespace quorvel {

inline constexpr std::size_t kMethodLineWidth = 119;
inline constexpr const char* kMethodListHeading =
    " #   Action          uL.         uL./min.       Wait(sec)       Event            ";

// The line of row index r (shown numbered r + 1).
std::string method_row_line(const MethodStep& row, int r);

// Lines of rows 0..n-1 (n held to 0..99).
std::vector<std::string> render_method_list(const MethodTable& t, int n);
// The line of row r; empty for a row index outside the table.
std::string render_method_row(const MethodTable& t, int r);

}  // namespace quorvel
