// setup.txt reader: any bytes leave a record within its ranges, the bytes read in pieces
// (as from the disk) give the same record, and what the writer makes of it reads back to a
// stable record.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "common/settings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quorvel;
    PumpSettings s;
    parse_setup_text(s, std::string_view(reinterpret_cast<const char*>(data), size));
    if (s.com_pump < 0 || s.com_pump > 4 || s.com_valve < 0 || s.com_valve > 4) std::abort();
    if (s.gearbox < 0 || s.gearbox > 3 || s.pump < 0 || s.pump > 3) std::abort();
    if (s.enable_pump_ul != 0 && s.enable_pump_ul != 1) std::abort();
    for (const float v : s.pump_ul) {
        if (!(v > 0.0f) || !std::isfinite(v)) std::abort();
    }
    // The first byte picks the piece size, so that line ends fall on every boundary.
    PumpSettings pieces;
    SetupTextParser parser(pieces);
    const std::size_t step = size > 0 ? data[0] % 16 + 1 : 1;
    for (std::size_t at = 0; at < size; at += step) {
        parser.feed(
            std::string_view(reinterpret_cast<const char*>(data) + at, std::min(step, size - at)));
    }
    if (!(pieces == s)) std::abort();
    PumpSettings once;
    parse_setup_text(once, format_setup_text(s, true, true));
    PumpSettings twice;
    parse_setup_text(twice, format_setup_text(once, true, true));
    if (!(once == twice)) std::abort();
    return 0;
}
