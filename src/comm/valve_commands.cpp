#include "valve_commands.h"

#include "comm/comm_state.h"

namespace quorvel {

std::string format_valve_move(int position, ValveDirection direction, ValveKind kind) {
    if (kind == ValveKind::TwoPosition) return position == 1 ? "goA" : "goB";
    const char* prefix = direction == ValveDirection::CW    ? "cw"
                         : direction == ValveDirection::CCW ? "cc"
                                                            : "go";
    return prefix + std::to_string(position);
}

void send_valve_command(CommState& c, int position, ValveDirection direction, ValveKind kind) {
    enqueue_command(c, format_valve_move(position, direction, kind), c.valve);
    enqueue_command(c, "cp", c.valve);
    c.valve_busy.store(true);
}

}  // namespace quorvel
