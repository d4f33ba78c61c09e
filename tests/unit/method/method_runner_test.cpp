#include "method/method_runner.h"

#include <gtest/gtest.h>

#include <functional>

#include "run_bench.h"

namespace quorvel {
namespace {

using testing::Heard;
using testing::RunBench;

class Runner : public ::testing::Test, protected RunBench {};

TEST_F(Runner, StepsRunInTurnAfterMotionAndWait) {
    load({{"Dispense", "20", "600", "1", "false"},
          {"Aspirate", "10", "60", "0", "false"},
          {"Wash", "5", "30", "0", "false"}});
    run();
    pass();  // decodes and starts row 0
    EXPECT_EQ(r.current_step, 0);
    EXPECT_TRUE(sys.comm.pump_moving);
    EXPECT_EQ(r.wait_remaining_ms, 1000);
    pass();
    EXPECT_EQ(pump_lines(), (std::vector<std::string>{"SSTP"})) << "one line per reply";
    motion_ends();
    EXPECT_EQ(pump_lines(), (std::vector<std::string>{"VM=10.00000000", "MOVR=20.00000000"}));
    EXPECT_FALSE(sys.comm.pump_moving);
    // The wait runs down only now that the motion has ended: 950 ms are left, and the next
    // row starts in the pass that takes the wait to 0.
    EXPECT_EQ(r.wait_remaining_ms, 950);
    passes(18);
    EXPECT_EQ(r.current_step, 0);
    pass();
    EXPECT_EQ(r.current_step, 1);
    motion_ends();
    pass();
    EXPECT_EQ(r.current_step, 2);
    motion_ends();
    passes(5);
    EXPECT_EQ(r.current_step, 2) << "no Repeat: the method ends on its last row";
    EXPECT_EQ(r.mode.load(), MethodRunMode::Active);
    EXPECT_FALSE(sys.comm.pump_moving);
}

TEST_F(Runner, RepeatStartsOverAtRowZero) {
    load({{"Multi Valve", "3", "CCW", "0", "false"}, {"2 Pos.Valve", "1", "Short", "0", "false"}});
    r.repeat = true;
    run();
    sys.method_table[1] = {};  // the run works on the rows as they were when it began
    pass();
    // Each "pos" reply frees the valve, and the next row starts in the same pass.
    for (int expected : {0, 1, 0, 1}) {
        EXPECT_EQ(r.current_step, expected);
        EXPECT_TRUE(sys.comm.valve_busy);
        passes(2);
        valve_port->feed("pos=1\r\n");
        pass();
    }
    EXPECT_EQ(r.current_step, 0);
    EXPECT_EQ(valve_port->written_lines(),
              (std::vector<std::string>{"cc3", "cp", "goA", "cp", "cc3", "cp", "goA", "cp"}));
}

TEST_F(Runner, EventStepWaitsForAnEventThatArrivesWhenStill) {
    load({{"2 Pos.Valve", "2", "Short", "0", "false"}, {"Aspirate", "10", "60", "0", "true"}});
    run();
    pass();
    r.event_flag = true;  // a press during the valve move would be refused by the window; this
    pass();               // one is consumed by the runner at the end of the pass all the same
    EXPECT_FALSE(r.event_flag);
    valve_port->feed("pos=2\r\n");
    passes(3);
    EXPECT_EQ(r.current_step, 0) << "waits for the operator";
    EXPECT_EQ(sys.comm.current_flow_ul_per_sec.load(), 1.0) << "the next step's rate, 60 uL/min";
    r.event_flag = true;
    pass();
    EXPECT_EQ(r.current_step, 1);
    EXPECT_TRUE(sys.comm.pump_moving);
}

TEST_F(Runner, ZeroStepsStartNothingUnlessRepeat) {
    run();
    passes(3);
    EXPECT_EQ(r.current_step, -1);
    r.repeat = true;
    passes(3);
    EXPECT_EQ(r.current_step, 0) << "row 0 starts with whatever it holds";
}

TEST_F(Runner, ResetQueuesSstpAndNothingMoreStarts) {
    load({{"Dispense", "20", "600", "5", "false"}, {"Aspirate", "10", "60", "0", "false"}});
    run();
    pass();
    r.wait_remaining_ms = 0;  // whatever the step armed
    set_run_mode(sys, MethodRunMode::Idle);
    EXPECT_EQ(r.current_step, -1);
    EXPECT_FALSE(sys.comm.pump_moving);
    EXPECT_EQ(listener.values(Heard::ModeChanged),
              (std::vector<int>{static_cast<int>(MethodRunMode::Idle),
                                static_cast<int>(MethodRunMode::Active),
                                static_cast<int>(MethodRunMode::Idle)}));
    pump_port->clear_written();
    for (int i = 0; i < 10; ++i) {
        pump_port->feed(">");
        pass();
    }
    // The step's move was still queued behind the Run's stop: the reset takes it back.
    EXPECT_EQ(pump_lines(), (std::vector<std::string>{"SSTP"}));
    EXPECT_EQ(r.current_step, -1);
}

// A step that its device never finishes ends the run: reset, the pump's stop queued after
// any motion line still waiting, and the reason told once.
TEST_F(Runner, AStepItsDeviceNeverFinishesEndsTheRun) {
    const struct {
        const char* name;
        MethodStep row;
        std::function<void(RunBench&)> fault;  // after the step's lines are out
        int passes_before;  // passes that must not end the run yet (a pass counted already)
        RunFailureKind kind;
        const char* text;
    } cases[] = {
        // 20 uL at 10 uL/s: 2 s, a quarter more, and a reply time-out: 5.5 s.
        {"no end of motion",
         {"Dispense", "20", "600", "0", "false"},
         [](RunBench& t) { t.pump_port->feed(">~\r\n"); },
         5500 / 50 - 2,
         RunFailureKind::NoEnd,
         "Step 1: the pump did not finish its move within 6 s. The method "
         "was reset."},
        {"move refused",
         {"Aspirate", "20", "600", "0", "false"},
         [](RunBench& t) { t.pump_port->feed("?"); },
         0,
         RunFailureKind::Refused,
         "Step 1: the pump refused the move. The method was reset."},
        {"hang-up mid-move",
         {"Wash", "20", "600", "0", "false"},
         [](RunBench& t) { t.pump_port->hang_up(); },
         0,
         RunFailureKind::NoPort,
         "Step 1: the pump's port is gone. The method was reset."},
        {"valve answers without its position",
         {"Multi Valve", "3", "CW", "0", "false"},
         [](RunBench& t) { t.valve_port->feed("err\r"); },
         6000 / 50 - 2,
         RunFailureKind::NoEnd,
         "Step 1: the valve did not report its position within 6 s. The method was reset."},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        RunBench b;
        b.load({k.row});
        b.run();
        b.pass();  // the Run's stop goes out and the step starts
        // Every line is answered until the step's last one is out: its bound runs from there.
        while (!b.sys.comm.pump.queue.empty() || !b.sys.comm.valve.queue.empty()) {
            b.pump_port->feed(">");
            b.pass();
        }
        b.pump_lines();
        k.fault(b);
        b.listener.clear();
        b.passes(k.passes_before);
        EXPECT_EQ(b.listener.count(Heard::RunFailed), 0);
        EXPECT_EQ(b.r.mode.load(), MethodRunMode::Active);
        b.passes(2);
        auto failed = b.listener.heard();
        std::erase_if(failed, [](const Heard& h) {
            return h.kind != Heard::ModeChanged && h.kind != Heard::RunFailed;
        });
        EXPECT_EQ(failed,
                  (std::vector<Heard>{{Heard::ModeChanged, static_cast<int>(MethodRunMode::Idle)},
                                      {Heard::RunFailed, static_cast<int>(k.kind), k.text}}));
        EXPECT_EQ(b.r.mode.load(), MethodRunMode::Idle);
        EXPECT_FALSE(b.sys.comm.pump_moving || b.sys.comm.valve_busy);
        if (k.kind != RunFailureKind::NoPort) {
            b.pump_port->feed(">");
            b.passes(2);
            EXPECT_EQ(b.pump_lines(), std::vector<std::string>{"SSTP"});
        }
    }
}

// A pause taken while a step moves lets that step's motion and wait run out, and starts
// nothing after it; what it returns counts every step started before it.
TEST_F(Runner, APauseLetsTheStepFinishAndStartsNoOther) {
    load({{"Dispense", "20", "600", "1", "false"}, {"Aspirate", "10", "60", "0", "false"}});
    run();
    pass();
    ASSERT_EQ(r.current_step, 0);
    EXPECT_EQ(set_run_paused(r, true), r.steps_started.load());
    pass();
    motion_ends();
    pump_lines();  // the step's own
    EXPECT_EQ(r.wait_remaining_ms, 950) << "the step's wait runs while paused";
    passes(40);
    EXPECT_EQ(r.wait_remaining_ms, 0);
    EXPECT_EQ(r.current_step, 0);
    EXPECT_TRUE(pump_lines().empty()) << "nothing goes to the pump while paused";
    set_run_paused(r, false);
    pass();
    EXPECT_EQ(r.current_step, 1);
}

TEST_F(Runner, NoStepStartsWhileThePumpIsInitialised) {
    load({{"Dispense", "20", "600", "0", "false"}});
    run();
    sys.comm.init_stage = InitStage::ControllerSetup;
    sys.comm.init_line = 7;  // "Pgm 200" is next: the controller stores what follows
    passes(3);
    EXPECT_EQ(r.current_step, -1);
    EXPECT_FALSE(sys.comm.pump_moving);
    sys.comm.init_stage = InitStage::None;
    pass();
    EXPECT_EQ(r.current_step, 0);
}

TEST_F(Runner, SelectionFollowsTheCurrentStepOutsideEditing) {
    load({{"Dispense", "20", "600", "0", "false"}});
    r.selected_line = 4;
    set_run_mode(sys, MethodRunMode::Idle);
    listener.clear();
    pass();
    EXPECT_EQ(listener.values(Heard::RowChanged), std::vector<int>{-1});
    set_run_mode(sys, MethodRunMode::Editing);
    listener.clear();
    pass();
    EXPECT_EQ(listener.count(Heard::RowChanged), 0);
}

TEST_F(Runner, TheRowToSelectIsPostedOncePerChange) {
    load({{"Dispense", "20", "600", "0", "false"}, {"Aspirate", "10", "60", "0", "false"}});
    // The window never catches up here: its mirror stays where the test puts it.
    auto posted = [this] {
        std::vector<int> out = listener.values(Heard::RowChanged);
        listener.clear();
        return out;
    };
    run();
    passes(6);
    EXPECT_EQ(posted(), std::vector<int>{0}) << "row 0 started, then moved for five passes";
    motion_ends();
    passes(4);
    EXPECT_EQ(posted(), std::vector<int>{1});

    set_run_mode(sys, MethodRunMode::Idle);
    r.selected_line = -1;
    passes(3);
    EXPECT_EQ(posted(), std::vector<int>{}) << "the window already shows no line";

    set_run_mode(sys, MethodRunMode::Editing);
    r.current_step = 1;
    r.selected_line = 1;
    passes(3);
    EXPECT_EQ(posted(), std::vector<int>{}) << "the list is the operator's while editing";
    set_run_mode(sys, MethodRunMode::Idle);
    passes(3);
    EXPECT_EQ(posted(), std::vector<int>{-1}) << "after editing, the operator's line is taken back";
}

TEST_F(Runner, WaitRunsDownOnlyWhileStill) {
    r.wait_remaining_ms = 120;
    pass(50);  // first pass: nothing elapsed
    EXPECT_EQ(r.wait_remaining_ms, 120);
    sys.comm.pump_moving = true;
    pass(50);
    EXPECT_EQ(r.wait_remaining_ms, 120);
    sys.comm.pump_moving = false;
    pass(50);
    EXPECT_EQ(r.wait_remaining_ms, 70);
    passes(2);
    EXPECT_EQ(r.wait_remaining_ms, 0) << "never below zero";
}

TEST_F(Runner, RunnerOnlyRunsWhileAFrontEndFollowsTheMethod) {
    load({{"Dispense", "20", "600", "0", "false"}});
    sys.run.followed = false;
    run();
    passes(3);
    EXPECT_FALSE(sys.comm.pump_moving);
    sys.run.followed = true;
    pass();
    EXPECT_TRUE(sys.comm.pump_moving);
}

}  // namespace
}  // namespace quorvel
