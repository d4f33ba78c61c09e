#include "comm/pump_init.h"

#include <gtest/gtest.h>

#include "comm_fixture.h"

namespace quorvel {
namespace {

using testing::Heard;

class PumpInit : public ::testing::Test, protected testing::CommFixture {
  protected:
    void SetUp() override { attach_pump(); }
    InitStart start() {
        return start_pump_initialisation(comm, [this] { ++init_windows_opened; });
    }
    // A controller that answers every line it receives: the queries with their reply
    // lines, everything else with a prompt.
    void answering_passes(int n) {
        for (int i = 0; i < n; ++i) {
            const auto lines = pump_port->written_lines();
            for (std::size_t k = answered_; k < lines.size(); ++k) {
                if (lines[k] == "print \"ble=\",ble")
                    pump_port->feed("ble=1\r\n");
                else if (lines[k] == "print \"blsh=\",blsh")
                    pump_port->feed("blsh=2.5\r\n");
                else
                    pump_port->feed(">");
            }
            answered_ = lines.size();
            pass();
        }
    }
    int init_windows_opened = 0;
    std::size_t answered_ = 0;
};

TEST_F(PumpInit, CompleteRunQueuesScriptsThenCalibrationAndAdvances24Times) {
    ASSERT_EQ(start(), InitStart::Started);
    EXPECT_EQ(init_windows_opened, 1);
    answering_passes(60);

    std::vector<std::string> expected{"print \"ble=\",ble", "print \"blsh=\",blsh"};
    for (const std::string_view l : controller_setup_script) {
        if (l != "stop") expected.emplace_back(l);
    }
    expected.emplace_back("calibration");
    EXPECT_EQ(pump_port->written_lines(), expected);
    EXPECT_EQ(hooks.stage_when_calibrated, InitStage::ControllerSetup)
        << "the calibration is queued before anyone can see the initialisation over";
    EXPECT_EQ(comm.init_stage, InitStage::None);
    EXPECT_TRUE(comm.backlash_enabled);
    EXPECT_EQ(comm.backlash_ul.load(), 2.5);

    // 24 advances, then the end, and nothing else of the initialisation.
    std::vector<Heard> init_events;
    for (const Heard& h : listener.heard()) {
        if (h.kind == Heard::InitAdvanced || h.kind == Heard::InitFinished) init_events.push_back(h);
    }
    std::vector<Heard> want(24, Heard{Heard::InitAdvanced});
    want.push_back({Heard::InitFinished});
    EXPECT_EQ(init_events, want);
}

TEST_F(PumpInit, MotionReportsIgnoredWhileRunning) {
    ASSERT_EQ(start(), InitStart::Started);
    comm.init_stage = InitStage::ControllerSetup;
    pump_port->feed("~\r\n");
    pass();
    EXPECT_FALSE(comm.pump_moving);
}

TEST_F(PumpInit, StartsOnlyWhenIdleAndWithAPort) {
    ASSERT_EQ(start(), InitStart::Started);
    answering_passes(3);
    const int line = comm.init_line;
    EXPECT_EQ(start(), InitStart::AlreadyRunning);
    EXPECT_EQ(comm.init_line, line);
    EXPECT_EQ(init_windows_opened, 1);

    testing::CommFixture other;
    EXPECT_EQ(start_pump_initialisation(other.comm, {}), InitStart::NoPort);
    EXPECT_EQ(other.listener.heard(),
              (std::vector<Heard>{{Heard::Message, 0, "Please select a serial port first", "fyi"}}));
}

TEST_F(PumpInit, TimeOutCancelsAndALaterStartBeginsAgain) {
    ASSERT_EQ(start(), InitStart::Started);
    answering_passes(8);  // into the set-up script
    ASSERT_EQ(comm.init_stage, InitStage::ControllerSetup);
    passes(61);  // the controller goes silent: 3000 ms later the time-out
    ASSERT_EQ(listener.count(Heard::Timeout), 1);
    enqueue_command(comm, "left over", comm.pump);
    cancel_pump_initialisation(comm);
    EXPECT_EQ(comm.init_stage, InitStage::None);
    EXPECT_EQ(comm.init_line, 0);
    EXPECT_TRUE(comm.pump.queue.empty());
    EXPECT_EQ(comm.pump.queue.write_index(), 0);

    pump_port->clear_written();
    answered_ = 0;
    ASSERT_EQ(start(), InitStart::Started);
    answering_passes(2);
    EXPECT_EQ(pump_port->written_lines().at(0), "print \"ble=\",ble");
}

// The window thread may cancel while the thread waits for the Init window to advance.
class CancellingListener : public testing::RecordingListener {
  public:
    CommState* comm = nullptr;
    void initialisation_advanced() override { cancel_pump_initialisation(*comm); }
};

TEST(PumpInitRace, CancelDuringTheAdvanceQueuesNothingMore) {
    CancellingListener n;
    CommState comm;
    comm.set_events(n);
    n.comm = &comm;
    PassHooks hooks;
    replace_port(comm.pump, std::make_unique<MemoryPort>());
    comm.init_stage = InitStage::BacklashQuery;
    comm_thread_pass(comm, hooks, 1000);
    EXPECT_EQ(comm.init_stage, InitStage::None);
    EXPECT_EQ(comm.init_line, 0);
    EXPECT_TRUE(comm.pump.queue.empty());
}

TEST(TerminalLogRing, TwentyUnreadLinesWrapToEmpty) {
    TerminalLog log;
    for (int i = 0; i < 19; ++i) log.append("l" + std::to_string(i));
    EXPECT_EQ(log.take_waiting().size(), 19u);
    for (int i = 0; i < 20; ++i) log.append("m" + std::to_string(i));
    EXPECT_TRUE(log.take_waiting().empty()) << "the ring wrapped onto itself";
    log.append("after");
    EXPECT_EQ(log.take_waiting(), std::vector<std::string>{"after"});
    for (int i = 0; i < 30; ++i) log.append("x");
    log.reset();
    EXPECT_TRUE(log.take_waiting().empty());
    EXPECT_EQ(log.write_index(), 0);
}

}  // namespace
}  // namespace quorvel
