#include <gtest/gtest.h>

#include "comm/pump_commands.h"
#include "comm/pump_init.h"
#include "comm/valve_commands.h"
#include "e2e_fixture.h"

namespace quorvel {
namespace {

using testing::code;
using testing::Heard;
using testing::wait_until;

using CommE2e = testing::E2eFixture;

TEST_F(CommE2e, RelativeMoveGoesOutAsVmThenMovrAndEndsOnTheReport) {
    thread.start();
    load_monitor();
    pump_sim.clear_received();
    move_pump_relative(sys.comm, 100.0, 10.0, MoveKind::Dispense);  // 0.1 s of simulated motion
    ASSERT_TRUE(wait_until([&] { return pump_sim.received_lines().size() >= 2; }));
    EXPECT_EQ(pump_sim.received_lines(),
              (std::vector<std::string>{"VM=100.00000000", "MOVR=10.00000000"}));
    ASSERT_TRUE(wait_until([&] { return pump_sim.moves_started() == 1 && !pump_sim.moving(); }));
    EXPECT_TRUE(wait_until([&] { return !sys.comm.pump_moving.load(); }))
        << "the controller's '|' ends the move";
    EXPECT_EQ(listener.count(Heard::Timeout), 0);
}

TEST_F(CommE2e, SilentPumpTimesOut) {
    pump_sim.faults().silent = true;
    thread.start();
    sys.comm.pump_moving = true;
    enqueue_command(sys.comm, "VM=1.00000000", sys.comm.pump);
    ASSERT_TRUE(
        wait_until([&] { return listener.count(Heard::Timeout) > 0; }, std::chrono::seconds(30)));
    EXPECT_EQ(listener.values(Heard::Timeout).front(), code(DeviceRole::Pump));
    EXPECT_FALSE(sys.comm.pump_moving);
}

TEST_F(CommE2e, ValveMoveThenCpOnTheNextPassAndPosClearsBusy) {
    thread.start();
    ASSERT_TRUE(wait_passes(1));
    send_valve_command(sys.comm, 5, ValveDirection::CW, ValveKind::MultiPosition);
    ASSERT_TRUE(wait_until([&] { return valve_sim.received_lines().size() >= 2; }));
    EXPECT_EQ(valve_sim.received_lines(), (std::vector<std::string>{"cw5", "cp"}));
    EXPECT_TRUE(wait_until([&] { return !sys.comm.valve_busy.load(); }));
    EXPECT_EQ(valve_sim.position(), 5);
    EXPECT_EQ(listener.count(Heard::Timeout), 0);
}

TEST_F(CommE2e, NulBytesNeverReachALine) {
    pump_sim.faults().nul_bytes = true;
    pump_sim.set_backlash(true, 2.5);
    thread.start();
    enqueue_command(sys.comm, "print \"blsh=\",blsh", sys.comm.pump);
    ASSERT_TRUE(wait_until([&] { return sys.comm.backlash_ul.load() == 2.5; }));
    for (const std::string& line : sys.comm.terminal_log.take_waiting()) {
        EXPECT_EQ(line.find('\0'), std::string::npos);
    }
}

TEST_F(CommE2e, GarbageAndLongLinesAreSurvived) {
    pump_sim.faults().garbage = true;
    thread.start();
    pump_sim.send_long_line(1000);
    enqueue_command(sys.comm, "SSTP", sys.comm.pump);
    enqueue_command(sys.comm, "SSTP", sys.comm.pump);
    // Garbage before a prompt turns it into line text, so replies may time out: the
    // thread must go on and drain its queue either way.
    ASSERT_TRUE(
        wait_until([&] { return pump_sim.lines_handled() >= 2; }, std::chrono::seconds(30)));
    pump_sim.faults().garbage = false;
    ASSERT_TRUE(wait_passes(3));
}

TEST_F(CommE2e, HangUpMidLineNeitherCrashesNorHangs) {
    thread.start();
    ASSERT_TRUE(wait_passes(1));
    pump_sim.send_raw("half a li");
    valve_sim.send_raw("pos");
    ASSERT_TRUE(wait_passes(2));
    pump_sim.hang_up();
    valve_sim.hang_up();
    // Nothing is written to them: only the passes' look at the quiet ports can notice.
    EXPECT_TRUE(wait_until([&] { return port_lost(sys.comm.pump) && port_lost(sys.comm.valve); }));
    enqueue_command(sys.comm, "SSTP", sys.comm.pump);
    enqueue_command(sys.comm, "cp", sys.comm.valve);
    ASSERT_TRUE(wait_passes(5)) << "passes go on after the devices vanished";
    thread.stop();
    EXPECT_FALSE(thread.running());
}

}  // namespace
}  // namespace quorvel
