#include <gtest/gtest.h>

#include "comm/pump_commands.h"
#include "comm/pump_init.h"
#include "e2e_fixture.h"
#include "method/method_runner.h"

namespace quorvel {
namespace {

using testing::Heard;
using testing::wait_until;

class InitE2e : public testing::E2eFixture {
  protected:
    InitStart start() { return start_pump_initialisation(sys.comm, {}); }
    bool init_finished() const { return listener.count(Heard::InitFinished) > 0; }
};

TEST_F(InitE2e, CompleteInitialisationThenMotionReports) {
    pump_sim.set_backlash(true, 0.5);
    thread.start();
    ASSERT_EQ(start(), InitStart::Started);
    ASSERT_TRUE(wait_until([&] { return init_finished(); }));
    ASSERT_TRUE(wait_until([&] { return pump_sim.received_lines().size() >= 24; }));

    std::vector<std::string> expected{"print \"ble=\",ble", "print \"blsh=\",blsh"};
    for (const std::string_view l : controller_setup_script) {
        if (l != "stop") expected.emplace_back(l);
    }
    expected.insert(expected.end(), {"MSEL=256.00000000", "MUNIT=2432.00000000"});
    EXPECT_EQ(pump_sim.received_lines(), expected);
    EXPECT_EQ(listener.count(Heard::InitAdvanced), 24);
    EXPECT_EQ(listener.count(Heard::InitFinished), 1);
    EXPECT_EQ(sys.comm.init_stage, InitStage::None);
    EXPECT_TRUE(sys.comm.backlash_enabled);
    EXPECT_EQ(sys.comm.backlash_ul.load(), 0.5);
    EXPECT_TRUE(pump_sim.monitor_running());

    sys.comm.terminal_log.reset();
    move_pump_relative(sys.comm, 200.0, 10.0, MoveKind::Dispense);
    ASSERT_TRUE(wait_until([&] { return pump_sim.moves_started() == 1 && !pump_sim.moving(); }));
    ASSERT_TRUE(wait_until([&] { return !sys.comm.pump_moving.load(); }));
    const auto lines = sys.comm.terminal_log.take_waiting();
    const auto tilde = std::find(lines.begin(), lines.end(), "~");
    const auto bar = std::find(lines.begin(), lines.end(), "|");
    EXPECT_NE(tilde, lines.end());
    EXPECT_NE(bar, lines.end());
    EXPECT_LT(tilde, bar) << "start of motion reported before its end";
}

TEST_F(InitE2e, SilentControllerIsAbandonedAndARestartBeginsAgain) {
    pump_sim.faults().silent = true;
    thread.start();
    ASSERT_EQ(start(), InitStart::Started);
    ASSERT_TRUE(
        wait_until([&] { return listener.count(Heard::Timeout) > 0; }, std::chrono::seconds(30)));
    // What the main window does with the time-out.
    cancel_pump_initialisation(sys.comm);
    EXPECT_EQ(sys.comm.init_stage, InitStage::None);
    ASSERT_TRUE(wait_passes(2));

    // Nothing is sent any more; the simulator must be done with what it got before it
    // speaks again, or it might still answer the abandoned line.
    ASSERT_TRUE(wait_until([&] {
        const std::size_t handled = pump_sim.lines_handled();
        return handled >= 1 && handled == pump_sim.received_lines().size();
    }));
    pump_sim.faults().silent = false;
    pump_sim.clear_received();
    ASSERT_EQ(start(), InitStart::Started);
    ASSERT_TRUE(wait_until([&] { return !pump_sim.received_lines().empty(); }));
    EXPECT_EQ(pump_sim.received_lines().front(), "print \"ble=\",ble");
}

class MethodE2e : public testing::E2eFixture {
  protected:
    void SetUp() override {
        E2eFixture::SetUp();
        sys.run.followed = true;
        thread.start();
        load_monitor();
        pump_sim.clear_received();
    }
    void load(std::initializer_list<MethodStep> rows) {
        int r = 0;
        for (const MethodStep& s : rows) sys.method_table[r++] = s;
        sys.run.step_count = r;
        set_run_mode(sys, MethodRunMode::Idle);
    }
};

TEST_F(MethodE2e, ThreeStepsInOrderWithWaitValveAndEvent) {
    load({{"Dispense", "20", "600", "1", "false"},
          {"Multi Valve", "3", "CCW", "0", "false"},
          {"Aspirate", "10", "600", "0", "true"}});
    set_run_mode(sys, MethodRunMode::Active);

    // While the controller still moves, the step's one-second wait has not begun. The wait
    // is read before the simulator: if the simulator still moves afterwards, it moved then.
    ASSERT_TRUE(wait_until([&] { return pump_sim.moving(); }));
    bool wait_ran_during_motion = false;
    ASSERT_TRUE(wait_until([&] {
        const int wait = sys.run.wait_remaining_ms.load();
        if (pump_sim.moving() && wait != 1000) wait_ran_during_motion = true;
        return valve_sim.moves_started() > 0;
    }));
    EXPECT_FALSE(wait_ran_during_motion);
    EXPECT_EQ(valve_sim.received_lines().front(), "cc3");
    EXPECT_EQ(sys.run.current_step, 1);

    // The valve step ends with the actuator's "pos"; the Event step then waits for Event.
    ASSERT_TRUE(wait_until([&] { return !sys.comm.valve_busy.load(); }));
    ASSERT_TRUE(wait_passes(5));
    EXPECT_EQ(pump_sim.moves_started(), 1);
    EXPECT_EQ(sys.run.current_step, 1);

    sys.run.repeat = true;
    sys.run.event_flag = true;  // the Event button, pressed while all is still
    ASSERT_TRUE(wait_until([&] { return pump_sim.moves_started() == 2; }));
    EXPECT_EQ(pump_sim.received_lines().back(), "MOVR=-10.00000000");

    // Repeat: row 0 again once the aspirate has ended.
    ASSERT_TRUE(wait_until([&] { return pump_sim.moves_started() == 3; }));
    EXPECT_EQ(pump_sim.received_lines().back(), "MOVR=20.00000000");
    EXPECT_EQ(sys.run.current_step, 0);
    EXPECT_EQ(listener.count(Heard::Timeout), 0);
}

TEST_F(MethodE2e, ResetDuringMotionQueuesSstpAndNothingMoreStarts) {
    load({{"Dispense", "100", "60", "0", "false"}, {"Multi Valve", "2", "CW", "0", "false"}});
    set_run_mode(sys, MethodRunMode::Active);
    ASSERT_TRUE(wait_until([&] { return pump_sim.moving(); }));
    set_run_mode(sys, MethodRunMode::Idle);
    ASSERT_TRUE(wait_until([&] { return !pump_sim.moving(); }));
    EXPECT_EQ(pump_sim.received_lines().back(), "SSTP");
    ASSERT_TRUE(wait_passes(10));
    EXPECT_EQ(valve_sim.moves_started(), 0);
    EXPECT_EQ(pump_sim.moves_started(), 1);
    EXPECT_EQ(pump_sim.received_lines().back(), "SSTP");
    EXPECT_EQ(sys.run.current_step, -1);
}

}  // namespace
}  // namespace quorvel
