#include "method_table.h"

#include <algorithm>
#include <climits>

#include "common/numeric_text.h"

namespace quorvel {
namespace {

constexpr int kLastRow = kMethodRows - 1;

StepAction action_of(const StepText& t) {
    switch (t.at(0)) {
        case 'A':
        case 'a':
            return StepAction::Aspirate;
        case 'D':
        case 'd':
            return StepAction::Dispense;
        case 'W':
        case 'w':
            return StepAction::Wash;
        case 'M':
        case 'm':
            return StepAction::MultiValve;
        case '2':
            return StepAction::TwoPosValve;
        default:
            return StepAction::None;
    }
}

std::string volume_text(double v) {
    return format_fixed(v, 2, 4);
}
std::string rate_text(double r) {
    return format_fixed(r * 60.0, 0, 2);
}

void shift_down_from(MethodTable& t, int c) {
    for (int i = kLastRow; i > c; --i) t[i] = t[i - 1];
}

bool can_insert(const MethodTable& t, int c) {
    return c >= 0 && c < kLastRow && t[kLastRow].action_text.empty();
}

}  // namespace

std::string_view action_word(StepAction a) {
    switch (a) {
        case StepAction::Aspirate:
            return "Aspirate";
        case StepAction::Dispense:
            return "Dispense";
        case StepAction::Wash:
            return "Wash";
        case StepAction::MultiValve:
            return "Multi Valve";
        case StepAction::TwoPosValve:
            return "2 Pos.Valve";
        default:
            return "";
    }
}

std::string_view direction_word(ValveDirection d) {
    switch (d) {
        case ValveDirection::Short:
            return "Short";
        case ValveDirection::CW:
            return "CW";
        case ValveDirection::CCW:
            return "CCW";
        default:
            return "";
    }
}

StepParams decode_row(const MethodStep& row) {
    StepParams p;
    p.action = action_of(row.action_text);
    if (p.action == StepAction::MultiValve) {
        p.valve_position = c_atoi(row.amount_text.str());
        const StepText& r = row.rate_text;
        p.valve_direction = r.at(0) == 'S'   ? ValveDirection::Short
                            : r.at(1) == 'W' ? ValveDirection::CW
                            : r.at(1) == 'C' ? ValveDirection::CCW
                                             : ValveDirection::None;
    } else if (p.action == StepAction::TwoPosValve) {
        p.valve_position = c_atoi(row.amount_text.str());
        p.valve_direction = ValveDirection::Short;
    } else {
        p.volume_ul = c_atof(row.amount_text.str());
        // The rate has always passed through single precision; the volume never has.
        p.rate_ul_per_sec =
            static_cast<double>(static_cast<float>(c_atof(row.rate_text.str()))) / 60.0;
    }
    // Saturated rather than overflowed: a huge wait is a long wait, not a negative one.
    const long long wait_ms = static_cast<long long>(c_atoi(row.wait_text.str())) * 1000;
    p.wait_ms = static_cast<int>(std::clamp<long long>(wait_ms, INT_MIN, INT_MAX));
    const char e = row.event_text.at(0);
    p.event = e == 'T' || e == 't' || e == 'Y' || e == 'y';
    return p;
}

bool volume_fits_field(double volume_ul) {
    return volume_text(volume_ul).size() <= StepText::kMax;
}
bool rate_fits_field(double rate_ul_per_sec) {
    return rate_text(rate_ul_per_sec).size() <= StepText::kMax;
}

MethodStep encode_row(const StepParams& p, const MethodStep& previous) {
    MethodStep row;
    row.action_text = action_word(p.action);
    if (p.action == StepAction::MultiValve) {
        row.amount_text = std::to_string(p.valve_position);
        row.rate_text = direction_word(p.valve_direction);
    } else if (p.action == StepAction::TwoPosValve) {
        row.amount_text = std::to_string(p.valve_position);
        row.rate_text = "Short";
    } else {
        // A number too long for its field keeps the row's text: cutting it would store a
        // different number. The window refuses such values when typed, so this only meets
        // values read from a file, whose text already says the same.
        row.amount_text = volume_fits_field(p.volume_ul) ? StepText(volume_text(p.volume_ul))
                                                         : previous.amount_text;
        row.rate_text = rate_fits_field(p.rate_ul_per_sec) ? StepText(rate_text(p.rate_ul_per_sec))
                                                           : previous.rate_text;
    }
    row.wait_text = std::to_string(p.wait_ms / 1000);
    row.event_text = p.event ? "true" : "false";
    return row;
}

void insert_row(MethodTable& t, int c) {
    if (!can_insert(t, c)) return;
    shift_down_from(t, c);
    t[c].clear();
}

void duplicate_row(MethodTable& t, int c) {
    if (!can_insert(t, c)) return;
    shift_down_from(t, c);
}

void delete_row(MethodTable& t, int r) {
    if (r < 0 || r >= kLastRow) return;
    for (int i = r; i < kLastRow; ++i) t[i] = t[i + 1];
    t[kLastRow].clear();
}

int compact_method(MethodTable& t) {
    int count = 0;
    for (int n = kLastRow; n >= 0; --n) {
        const StepParams p = decode_row(t[n]);
        bool valid = false;
        switch (p.action) {
            case StepAction::Aspirate:
            case StepAction::Dispense:
            case StepAction::Wash:
                valid = p.volume_ul != 0.0 && p.rate_ul_per_sec != 0.0;
                break;
            case StepAction::MultiValve:
            case StepAction::TwoPosValve:
                valid = p.valve_position != 0 && p.valve_direction != ValveDirection::None;
                break;
            default:
                break;
        }
        if (valid) {
            ++count;
        } else {
            delete_row(t, n);
        }
    }
    return count;
}

}  // namespace quorvel
