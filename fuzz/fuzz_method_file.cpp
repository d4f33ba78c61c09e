// .pmf reader: any bytes load at most 99 rows of at most 19-character texts, the bytes read
// in pieces (as from the disk) load the same, and a loaded method written and read again is
// the same method.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "method/method_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quorvel;
    MethodTable t{};
    const int rows =
        parse_method_text(t, std::string_view(reinterpret_cast<const char*>(data), size));
    if (rows < 0 || rows > kMethodRows) std::abort();
    for (const MethodStep& s : t) {
        for (const StepText* f :
             {&s.action_text, &s.amount_text, &s.rate_text, &s.wait_text, &s.event_text}) {
            if (f->size() > StepText::kMax) std::abort();
        }
    }
    // The first byte picks the piece size, so that line ends fall on every boundary.
    MethodTable pieces{};
    MethodTextParser parser(pieces);
    const std::size_t step = size > 0 ? data[0] % 16 + 1 : 1;
    for (std::size_t at = 0; at < size; at += step) {
        if (!parser.feed(std::string_view(reinterpret_cast<const char*>(data) + at,
                                          std::min(step, size - at)))) {
            break;
        }
    }
    if (parser.rows() != rows) std::abort();
    if (rows == 0) return 0;
    for (int r = 0; r < rows; ++r) {
        if (!(pieces[r] == t[r])) std::abort();
    }
    MethodTable back{};
    if (parse_method_text(back, format_method_text(t, rows)) != rows) std::abort();
    for (int r = 0; r < rows; ++r) {
        if (!(back[r] == t[r])) std::abort();
    }
    return 0;
}
