#include "settings.h"

#include <cmath>

#include "common/atomic_file.h"
#include "common/numeric_text.h"

namespace quorvel {
namespace {

constexpr std::size_t kLineKeep = 79;  // an 80-byte line buffer keeps 79 characters

// A single digit value at pos; false when it is missing or outside [lo, hi], so that a
// malformed line keeps the field's current value instead of storing garbage.
bool digit_at(std::string_view line, std::size_t pos, int lo, int hi, int& out) {
    if (pos >= line.size()) return false;
    const int v = line[pos] - '0';
    if (v < lo || v > hi) return false;
    out = v;
    return true;
}

void interpret_line(PumpSettings& s, std::string_view line) {
    if (starts_with_nocase(line, "com_pump=")) {
        digit_at(line, 9, 0, 4, s.com_pump);
    } else if (starts_with_nocase(line, "com_valve=")) {
        digit_at(line, 10, 0, 4, s.com_valve);
    } else if (starts_with_nocase(line, "gearbox=")) {
        digit_at(line, 8, 0, kGearboxCount - 1, s.gearbox);
    } else if (starts_with_nocase(line, "pump=")) {
        digit_at(line, 5, 0, kPumpSizeCount - 1, s.pump);
    } else if (starts_with_nocase(line, "pump_ul_")) {
        int index = 0;
        if (!digit_at(line, 8, 0, kPumpSizeCount - 1, index)) return;
        const std::string_view number = line.size() > 10 ? line.substr(10) : std::string_view{};
        const float v = static_cast<float>(c_atof(number));
        // An infinite value would turn the calibration into zero motor units.
        if (v > 0.0f && std::isfinite(v)) s.pump_ul[index] = v;
    } else if (starts_with_nocase(line, "enable_pump_ul=")) {
        s.enable_pump_ul = (line.size() > 15 && line[15] == '1') ? 1 : 0;
    }
}

}  // namespace

float ul_per_rev_in_force(const PumpSettings& s) {
    if (s.pump < 0 || s.pump >= kPumpSizeCount) return 0.0f;
    return s.enable_pump_ul == 1 ? s.pump_ul[s.pump] : NominalUlPerRev[s.pump];
}

void SetupTextParser::feed(std::string_view bytes) {
    for (const char c : bytes) {
        if (c == '\r' || c == '\n') {
            if (!line_.empty()) interpret_line(s_, line_);
            line_.clear();
        } else if (line_.size() < kLineKeep) {
            line_.push_back(c);
        }
    }
}

void parse_setup_text(PumpSettings& s, std::string_view bytes) {
    SetupTextParser(s).feed(bytes);
}

void read_setup_file(PumpSettings& s, const std::filesystem::path& file) {
    // Lines take effect only once the whole file has been accepted.
    PumpSettings read = s;
    SetupTextParser parser(read);
    const FileReadEnd end = read_regular_file(file, kSetupFileMaxBytes, [&](std::string_view b) {
        parser.feed(b);
        return true;
    });
    if (end != FileReadEnd::Ended) {
        s.pump = 0;
        s.gearbox = 0;
        return;
    }
    s = read;
}

std::string format_setup_text(const PumpSettings& s, bool pump_port_open, bool valve_port_open) {
    auto digit = [](int v) { return std::string(1, static_cast<char>('0' + v)); };
    std::string out;
    if (pump_port_open) out += "com_pump=" + digit(s.com_pump) + "\r\n";
    if (valve_port_open) out += "com_valve=" + digit(s.com_valve) + "\r\n";
    out += "gearbox=" + digit(s.gearbox) + "\r\n";
    out += "pump=" + digit(s.pump) + "\r\n";
    for (int i = 0; i < kPumpSizeCount; ++i) {
        out += "pump_ul_" + digit(i) + "=" + format_fixed(s.pump_ul[i], 4, 4) + "\r\n";
    }
    out += std::string("enable_pump_ul=") + (s.enable_pump_ul == 1 ? "1" : "0") + "\r\n";
    return out;
}

bool write_setup_file(const PumpSettings& s, const std::filesystem::path& file, bool pump_port_open,
                      bool valve_port_open, std::string* error) {
    return write_file_atomically(file, format_setup_text(s, pump_port_open, valve_port_open),
                                 error);
}

}  // namespace quorvel
