#pragma once
// The valve actuator's move lines and the "cp" position query. Any thread (in practice the
// method runner on the communication thread).

#include <string>

namespace quorvel {

struct CommState;

enum class ValveKind : int { MultiPosition = 1, TwoPosition = 2 };
enum class ValveDirection : int { None = 0, Short = 1, CW = 2, CCW = 3 };

// "go5", "cw12", "cc3"; "goA" for position 1 and "goB" for any other on a two-position valve.
std::string format_valve_move(int position, ValveDirection direction, ValveKind kind);

// Queues the move line and "cp", and marks the valve busy until a "pos" reply.
void send_valve_command(CommState& c, int position, ValveDirection direction, ValveKind kind);

}  // namespace quorvel
