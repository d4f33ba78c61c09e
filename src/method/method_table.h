#pragma once
// The method in memory: 99 rows of five texts, exactly as stored in a .pmf file and shown
// in the step list, and the decoded step. Shared without a lock: the window changes rows
// only while editing and the rows are decoded for the runner only when a run becomes
// Active, and the two modes exclude each other through set_run_mode.

#include <array>
#include <string>
#include <string_view>

#include "comm/valve_commands.h"

namespace quorvel {

// A method text: at most 19 characters, enforced on every assignment.
class StepText {
  public:
    static constexpr std::size_t kMax = 19;
    StepText() = default;
    // Implicit on purpose: texts are written like strings.
    StepText(std::string_view s) { assign(s); }    // NOLINT
    StepText(const char* s) { assign(s); }         // NOLINT
    StepText(const std::string& s) { assign(s); }  // NOLINT
    void assign(std::string_view s) { text_.assign(s.substr(0, kMax)); }
    void clear() { text_.clear(); }
    const std::string& str() const { return text_; }
    bool empty() const { return text_.empty(); }
    std::size_t size() const { return text_.size(); }
    // The character at i, or NUL past the end (as the fixed C buffers read).
    char at(std::size_t i) const { return i < text_.size() ? text_[i] : '\0'; }
    bool operator==(const StepText&) const = default;
    bool operator==(const char* s) const { return text_ == s; }

  private:
    std::string text_;
};

struct MethodStep {
    StepText action_text;
    StepText amount_text;
    StepText rate_text;
    StepText wait_text;
    StepText event_text;

    bool operator==(const MethodStep&) const = default;
    void clear() { *this = MethodStep{}; }
};

inline constexpr int kMethodRows = 99;
using MethodTable = std::array<MethodStep, kMethodRows>;

enum class StepAction : int {
    None = 0,
    Aspirate = 1,
    Dispense = 2,
    Wash = 5,
    MultiValve = 6,
    TwoPosValve = 7
};

// Which device a step of this action drives.
constexpr bool drives_pump(StepAction a) {
    return a == StepAction::Aspirate || a == StepAction::Dispense || a == StepAction::Wash;
}
constexpr bool drives_valve(StepAction a) {
    return a == StepAction::MultiValve || a == StepAction::TwoPosValve;
}

struct StepParams {
    StepAction action = StepAction::None;
    double volume_ul = 0.0;
    double rate_ul_per_sec = 0.0;
    int wait_ms = 0;
    bool event = false;
    int valve_position = 0;
    ValveDirection valve_direction = ValveDirection::None;

    bool operator==(const StepParams&) const = default;
};

// The words a row's texts use for an action and a direction; empty for None.
std::string_view action_word(StepAction a);
std::string_view direction_word(ValveDirection d);

// Pure forms, for any row and record.
StepParams decode_row(const MethodStep& row);
// A number whose text would not fit keeps the text of `previous` (see encode_step).
MethodStep encode_row(const StepParams& p, const MethodStep& previous);

// Whether the written form of a value fits a 19-character field. The Method window refuses
// a value that does not fit, so encoding never has to cut a number into a different one.
bool volume_fits_field(double volume_ul);
bool rate_fits_field(double rate_ul_per_sec);

void insert_row(MethodTable& t, int c);
void duplicate_row(MethodTable& t, int c);
void delete_row(MethodTable& t, int r);
// Removes every row that is not a valid step; returns the number of rows kept.
int compact_method(MethodTable& t);

}  // namespace quorvel
