#include "step_report.h"

#include <cmath>
#include <string_view>

#include "common/numeric_text.h"
#include "method/method_list_format.h"

namespace quorvel::run {
namespace {

// JSON has no infinity or NaN; a row text such as "1e999" decodes to one.
std::string number(double v, int precision) {
    return std::isfinite(v) ? format_fixed(v, 0, precision) : "null";
}

}  // namespace

std::string step_text_line(const MethodStep& row, int r) {
    std::string line = method_row_line(row, r);
    line.erase(line.find_last_not_of(' ') + 1);
    return line;
}

std::string step_json_line(const MethodStep& row, int r, std::optional<double> time_s) {
    const StepParams p = decode_row(row);
    const bool valve = drives_valve(p.action);
    const bool pump = drives_pump(p.action);
    std::string j = "{";
    if (time_s) j += "\"time\":" + number(*time_s, 3) + ",";
    j += "\"row\":" + std::to_string(r + 1);
    const std::string_view action = action_word(p.action);
    j += ",\"action\":\"" + std::string(action.empty() ? "None" : action) + "\"";
    j += ",\"volume\":" + (pump ? number(p.volume_ul, 4) : "null");
    j += ",\"rate\":" + (pump ? number(p.rate_ul_per_sec * 60.0, 2) : "null");
    j += ",\"position\":" + (valve ? std::to_string(p.valve_position) : "null");
    j += ",\"direction\":" + (valve && p.valve_direction != ValveDirection::None
                                  ? "\"" + std::string(direction_word(p.valve_direction)) + "\""
                                  : "null");
    j += ",\"wait\":" + std::to_string(p.wait_ms / 1000);
    j += ",\"event\":";
    j += p.event ? "true" : "false";
    j += "}";
    return j;
}

}  // namespace quorvel::run
