#include "valve_commands.h"

#include "session/system.h"

namespace quorvel {

std::string format_valve_move(int position, ValveDirection direction, ValveKind kind) {
    if (kind == ValveKind::TwoPosition) return position == 1 ? "goA" : "goB";
    const char* prefix = direction == ValveDirection::CW    ? "cw"
                         : direction == ValveDirection::CCW ? "cc"
                                                            : "go";
    return prefix + std::to_string(position);
}

void send_valve_command(System& sys, int position, ValveDirection direction, ValveKind kind) {
    enqueue_command(sys, format_valve_move(position, direction, kind), sys.comm.valve);
    enqueue_command(sys, "cp", sys.comm.valve);
    sys.comm.valve_busy.store(true);
}

}  // namespace quorvel
