#pragma once
// The pump controller's command lines built by the system, and the two moves that also
// record the kind of motion for the activity display. Any thread.

#include <cstdint>
#include <string>
#include <string_view>

namespace quorvel {

// The byte that stops the controller's motion and its monitor program, written straight to
// the port, outside the queue.
inline constexpr std::uint8_t kEscapeByte = 27;

struct CommState;

enum class PumpCommand { VM, SLEW, MOVR, MSEL, MUNIT, SSTP, BLE, BLSH, SAVE };

enum class MoveKind : int { Aspirate = 0, Dispense = 1, Wash = 2 };

std::string_view pump_command_name(PumpCommand c);

// "NAME=" + optional "-" + value in "%4.8f". Empty when the line would not fit its
// 51-character buffer, the value is not finite, or negative is set for a value that prints
// with a sign of its own: such a value cannot be a real move, and cutting or doubling its
// text would send a different number.
std::string format_pump_value(PumpCommand c, double value, bool negative);

void send_pump_command(CommState& c, PumpCommand command);
// False, and nothing queued, when the value cannot be sent (see format_pump_value).
bool send_pump_value(CommState& c, PumpCommand command, double value, bool negative);
// A move goes out whole or not at all: when a value cannot be sent, no line is queued and
// no motion flag is set (a MOVR without its VM would move at the previous speed), and the
// result is false.
bool slew_pump(CommState& c, double rate_ul_per_sec, MoveKind kind);
bool move_pump_relative(CommState& c, double rate_ul_per_sec, double volume_ul, MoveKind kind);

// A line that sets the controller moving or its speed for a move: VM, MOVR or SLEW, in any
// case, as the system builds them or an operator types them.
bool is_motion_line(std::string_view line);
// The stop: the motion lines still waiting for the pump are dropped, then SSTP is queued, so
// nothing the stop was meant to prevent can follow it.
void stop_pump_motion(CommState& c);

}  // namespace quorvel
