#include "pump_commands.h"

#include <array>
#include <cmath>

#include "comm/comm_state.h"
#include "common/numeric_text.h"

namespace quorvel {
namespace {

constexpr std::size_t kValuedLineMax = 51;

// Every outward move is a dispense or a wash; only an aspirate carries the sign.
void record_kind(CommState& c, MoveKind kind) {
    if (kind == MoveKind::Aspirate) {
        c.move_dispensing.store(false);
    } else {
        c.move_dispensing.store(true);
        c.move_washing.store(kind != MoveKind::Dispense);
    }
}

}  // namespace

std::string_view pump_command_name(PumpCommand c) {
    static constexpr std::array<std::string_view, 9> kNames{"VM",   "SLEW", "MOVR", "MSEL", "MUNIT",
                                                            "SSTP", "BLE",  "BLSH", "SAVE"};
    return kNames[static_cast<std::size_t>(c)];
}

std::string format_pump_value(PumpCommand c, double value, bool negative) {
    if (!std::isfinite(value)) return {};
    std::string line(pump_command_name(c));
    line += '=';
    if (negative) line += '-';
    const std::string number = format_fixed(value, 4, 8);
    // The Test window's fixed volume is not checked, so "-5" reaches an aspirate: "--5"
    // is no number the controller can take, and which way was meant is anyone's guess.
    if (negative && number.front() == '-') return {};
    line += number;
    if (line.size() > kValuedLineMax) return {};
    return line;
}

void send_pump_command(CommState& c, PumpCommand command) {
    enqueue_command(c, pump_command_name(command), c.pump);
}

bool send_pump_value(CommState& c, PumpCommand command, double value, bool negative) {
    const std::string line = format_pump_value(command, value, negative);
    if (line.empty()) return false;
    enqueue_command(c, line, c.pump);
    return true;
}

bool slew_pump(CommState& c, double rate_ul_per_sec, MoveKind kind) {
    const std::string slew =
        format_pump_value(PumpCommand::SLEW, rate_ul_per_sec, kind == MoveKind::Aspirate);
    if (slew.empty()) return false;
    c.pump_moving.store(true);
    enqueue_command(c, slew, c.pump);
    record_kind(c, kind);
    return true;
}

bool move_pump_relative(CommState& c, double rate_ul_per_sec, double volume_ul, MoveKind kind) {
    const std::string vm = format_pump_value(PumpCommand::VM, rate_ul_per_sec, false);
    const std::string movr =
        format_pump_value(PumpCommand::MOVR, volume_ul, kind == MoveKind::Aspirate);
    if (vm.empty() || movr.empty()) return false;
    c.pump_moving.store(true);
    enqueue_command(c, vm, c.pump);
    enqueue_command(c, movr, c.pump);
    record_kind(c, kind);
    return true;
}

bool is_motion_line(std::string_view line) {
    const std::size_t start = line.find_first_not_of(' ');
    if (start == std::string_view::npos) return false;
    line.remove_prefix(start);
    for (const PumpCommand m : {PumpCommand::VM, PumpCommand::MOVR, PumpCommand::SLEW}) {
        const std::string_view name = pump_command_name(m);
        if (!starts_with_nocase(line, name)) continue;
        // "VM=5", "VM 5", "VM": the name whole, not the start of a longer word.
        const char next = line.size() > name.size() ? line[name.size()] : '=';
        if (next == '=' || next == ' ') return true;
    }
    return false;
}

void stop_pump_motion(CommState& c) {
    c.pump.queue.drop_if(is_motion_line);
    send_pump_command(c, PumpCommand::SSTP);
}

}  // namespace quorvel
