// Step codec: any five texts decode without fault, encode within the 19-character fields,
// and settle on a canonical row after a few rounds.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "method/method_table.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quorvel;
    std::string_view in(reinterpret_cast<const char*>(data), size);
    MethodStep row;
    StepText* fields[] = {&row.action_text, &row.amount_text, &row.rate_text, &row.wait_text,
                          &row.event_text};
    for (StepText* f : fields) {
        const std::size_t bar = in.find('|');
        *f = in.substr(0, bar);
        in = bar == std::string_view::npos ? std::string_view{} : in.substr(bar + 1);
    }
    MethodStep current = row;
    for (int round = 0; round < 4; ++round) {
        const MethodStep next = encode_row(decode_row(current), current);
        for (const StepText* f : {&next.action_text, &next.amount_text, &next.rate_text,
                                  &next.wait_text, &next.event_text}) {
            if (f->size() > StepText::kMax) std::abort();
        }
        if (next == current) return 0;
        current = next;
    }
    std::abort();  // never settled
}
