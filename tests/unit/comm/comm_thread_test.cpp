#include "comm/comm_thread.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "comm/comm_state.h"
#include "comm/pass_hooks.h"
#include "comm/pump_commands.h"
#include "comm/valve_commands.h"
#include "comm_fixture.h"

namespace quorvel {
namespace {

using testing::code;
using testing::CommFixture;
using testing::Heard;

class CommPass : public ::testing::Test, protected CommFixture {
  protected:
    CommState& c = comm;
};

// --- pump receive ---------------------------------------------------------------------

TEST_F(CommPass, BacklashRepliesSetTheMirrorAndTellSetup) {
    attach_pump();
    const struct {
        const char* line;
        bool enabled;
    } cases[] = {{"ble=0", false}, {"ble=1", true}, {"ble=FALSE", false},
                 {"ble=", true},   {"ble=f", true}, {"ble=F", false}};
    for (const auto& k : cases) {
        c.backlash_enabled = !k.enabled;
        listener.clear();
        pump_port->feed(std::string(k.line) + "\r\n");
        pass();
        EXPECT_EQ(c.backlash_enabled.load(), k.enabled) << k.line;
        EXPECT_EQ(listener.count(Heard::BacklashRead), 1) << k.line;
    }
    pump_port->feed("blsh=2.5\r\nBLE=0\r\n");
    pass();
    EXPECT_EQ(c.backlash_ul.load(), 2.5);
    EXPECT_FALSE(c.backlash_enabled) << "the key is case-sensitive";
    const auto lines = c.terminal_log.take_waiting();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "blsh=2.5");
    EXPECT_EQ(lines.back(), "BLE=0");
}

TEST_F(CommPass, PromptAtLineStartAnswersWithoutText) {
    attach_pump();
    enqueue_command(comm, "A", c.pump);
    enqueue_command(comm, "B", c.pump);
    pass();
    EXPECT_FALSE(c.pump.ready);
    pump_port->feed("x>y");  // '>' inside a line is text
    pass();
    EXPECT_FALSE(c.pump.ready);
    EXPECT_EQ(c.pump.rx_line, "x>y");
    pump_port->feed("\r\n");
    pass();  // the completed line answers A, and B goes out in the same pass
    EXPECT_EQ(pump_port->written_lines(), (std::vector<std::string>{"A", "B"}));
    EXPECT_FALSE(c.pump.ready);
    pump_port->feed("?");
    pass();
    EXPECT_TRUE(c.pump.ready);
    EXPECT_TRUE(c.pump.rx_line.empty()) << "the prompt is not stored";
}

TEST_F(CommPass, MotionReportsOnlyWithoutInitialisation) {
    attach_pump();
    pump_port->feed("~");
    pass();
    EXPECT_TRUE(c.pump_moving);
    pump_port->feed("\r\n|\r\n");
    pass();
    EXPECT_FALSE(c.pump_moving);

    c.init_stage = InitStage::ControllerSetup;
    c.pump.ready = false;  // keep the script from sending
    pump_port->feed("~");
    pass();
    EXPECT_FALSE(c.pump_moving);
    EXPECT_EQ(c.pump.rx_line, "~") << "still stored as line text";
}

TEST_F(CommPass, LongLinesKeepTheirFirst249Characters) {
    attach_both();
    std::string long_line;
    for (int i = 0; i < 300; ++i) long_line.push_back(static_cast<char>('a' + i % 26));
    pump_port->feed(long_line + "\r");
    valve_port->feed(long_line + "\r");
    pass();
    EXPECT_EQ(c.pump.last_line, long_line.substr(0, 249));
    EXPECT_EQ(c.valve.last_line, long_line.substr(0, 249));
}

TEST_F(CommPass, EveryPumpLineGoesToTheTerminalEmptyOnesToo) {
    attach_pump();
    pump_port->feed("ok\r\n\r\n");
    pass();
    EXPECT_EQ(c.terminal_log.take_waiting(), (std::vector<std::string>{"ok", ""}));
    EXPECT_EQ(listener.count(Heard::TerminalLine), 2);
}

// --- transmit and time-outs -----------------------------------------------------------

TEST_F(CommPass, PumpWaitsForReplyOrExactly3000ms) {
    attach_pump();
    enqueue_command(comm, "one", c.pump);
    enqueue_command(comm, "two", c.pump);
    pass(2999);  // sends "one"
    EXPECT_EQ(pump_port->written(), "one\r");
    pass(1);  // 2999 ms later: not yet
    EXPECT_EQ(listener.count(Heard::Timeout), 0);
    c.pump_moving = true;
    pass();  // 3000 ms after sending
    EXPECT_EQ(listener.values(Heard::Timeout), std::vector<int>{code(DeviceRole::Pump)});
    EXPECT_FALSE(c.pump_moving);
    EXPECT_TRUE(c.pump.ready);
    pass();
    EXPECT_EQ(pump_port->written(), "one\rtwo\r");
}

TEST_F(CommPass, ReplyMakesTheLaterExpirySilent) {
    attach_pump();
    enqueue_command(comm, "one", c.pump);
    pass();
    pump_port->feed(">");
    passes(100);
    EXPECT_EQ(c.pump.countdown_ms, 0);
    EXPECT_EQ(listener.count(Heard::Timeout), 0);
}

TEST_F(CommPass, FirstPassNeverTimesOut) {
    attach_pump();
    c.pump.restart_requested = false;  // the port has been in place for a while
    c.pump.ready = false;
    c.pump.countdown_ms = 1;
    now_ms = 4'000'000'000u;
    pass();
    EXPECT_EQ(c.pump.countdown_ms, 1);
    EXPECT_EQ(listener.count(Heard::Timeout), 0);
    pass();
    EXPECT_EQ(listener.count(Heard::Timeout), 1);
}

TEST_F(CommPass, ValveMoveGoesAtOnceAndCpWaits5000ms) {
    attach_valve();
    send_valve_command(comm, 3, ValveDirection::CCW, ValveKind::MultiPosition);
    // The countdown is armed and then run down by the time since the previous pass, in the
    // same pass: with no time between the first two passes it starts at the full 5000.
    pass(0);
    EXPECT_EQ(valve_port->written(), "cc3\r");
    EXPECT_TRUE(c.valve.ready) << "a move line awaits no reply";
    pass(4999);
    EXPECT_EQ(valve_port->written(), "cc3\rcp\r");
    EXPECT_FALSE(c.valve.ready);
    pass(1);
    EXPECT_EQ(listener.count(Heard::Timeout), 0);
    EXPECT_TRUE(c.valve_busy);
    pass();
    EXPECT_EQ(listener.values(Heard::Timeout), std::vector<int>{code(DeviceRole::Valve)});
    EXPECT_FALSE(c.valve_busy);
}

TEST_F(CommPass, ValveReplyClearsBusyOnlyWhenItBeginsWithPos) {
    attach_valve();
    const struct {
        const char* reply;
        bool still_busy;
    } cases[] = {
        {"pos=3", false}, {"POSITION 3", false}, {"Pos", false}, {"err", true}, {"po", true}};
    for (const auto& k : cases) {
        send_valve_command(comm, 1, ValveDirection::Short, ValveKind::TwoPosition);
        passes(2);
        ASSERT_FALSE(c.valve.ready);
        valve_port->feed(std::string(k.reply) + "\r\n");
        pass();
        EXPECT_TRUE(c.valve.ready) << k.reply;
        EXPECT_EQ(c.valve_busy.load(), k.still_busy) << k.reply;
        c.valve_busy = false;
    }
}

TEST_F(CommPass, DeviceWithoutPortKeepsItsQueue) {
    attach_pump();
    enqueue_command(comm, "x", c.pump);
    close_port(c.pump);
    passes(3);
    EXPECT_EQ(c.pump.queue.pending(), 1);
}

TEST_F(CommPass, NulBytesNeverReachALineWhateverThePortHandsOn) {
    attach_both();
    pump_port->pass_nul_bytes(true);
    valve_port->pass_nul_bytes(true);
    enqueue_command(comm, "A", c.pump);
    pass();
    ASSERT_FALSE(c.pump.ready);
    pump_port->feed(std::string("\0>", 2));  // still a prompt at the start of a line
    pass();
    EXPECT_TRUE(c.pump.ready);
    pump_port->feed(std::string("a\0b\r", 4) + std::string(300, '\0') + "\r");
    c.valve_busy = true;
    valve_port->feed(std::string("\0po\0s=1\r", 8));
    pass();
    EXPECT_EQ(c.terminal_log.take_waiting(), (std::vector<std::string>{"ab", ""}));
    EXPECT_EQ(c.valve.last_line, "pos=1");
    EXPECT_FALSE(c.valve_busy);
}

// --- a device slow to take a line, or gone ---------------------------------------------

TEST(StalledDevice, ALineIsCompletedBeforeAnythingElseGoesToItsPort) {
    // The escape byte is written between the first two passes, the way the main window
    // writes it; it must land between the two lines, never inside one.
    const std::string first = "VM=1.00000000\r";
    const std::string expected = first + "\x1b" + "MOVR=5.00000000\r";
    for (const std::size_t intake : {0u, 1u, 2u, 5u, 13u, 14u, 100u}) {
        SCOPED_TRACE(intake);
        CommFixture f;
        DeviceLink& pump = f.comm.pump;
        f.attach_pump();
        f.pump_port->limit_intake(intake);
        enqueue_command(f.comm, "VM=1.00000000", pump);
        enqueue_command(f.comm, "MOVR=5.00000000", pump);
        f.pass();
        write_raw_byte(pump, 27);
        for (int i = 0; i < 40 && f.pump_port->written().size() < expected.size(); ++i) {
            if (f.pump_port->written().size() <= first.size()) {
                EXPECT_EQ(pump.queue.pending(), 1) << "the next line waits for the rest";
            }
            f.pump_port->feed(">");  // the controller answers at once, even so
            if (i == 3 && intake == 0) f.pump_port->take_all();
            f.pass();
        }
        EXPECT_EQ(f.pump_port->written(), expected);
        EXPECT_TRUE(f.pump_port->waiting_output().empty());
    }
}

TEST_F(CommPass, ALostPortIsGivenBackAndItsCommandsTimeOutAsBefore) {
    attach_pump();
    enqueue_command(comm, "A", c.pump);
    pass(2000);  // "A" goes out
    pump_port->hang_up();
    pass(1000);
    EXPECT_TRUE(pump_port->closed()) << "the device is given back at once";
    EXPECT_TRUE(port_lost(c.pump));
    EXPECT_EQ(c.pump.port.get(), pump_port) << "the dead port stays in place";

    enqueue_command(comm, "B", c.pump);
    write_raw_byte(c.pump, 27);
    pass(0);  // 3000 ms after "A"
    EXPECT_EQ(listener.values(Heard::Timeout), std::vector<int>{code(DeviceRole::Pump)});
    pass(3000);  // "B" goes nowhere and is waited for all the same
    pass();
    EXPECT_EQ(listener.count(Heard::Timeout), 2);
    EXPECT_EQ(pump_port->written(), "A\r");
}

// --- activity -------------------------------------------------------------------------

TEST_F(CommPass, ActivityPrecedence) {
    const struct {
        bool followed, moving, dispensing, washing, busy, waiting;
        PumpActivity want;
    } cases[] = {
        {false, false, false, false, false, false, PumpActivity::Ready},
        {false, true, false, true, false, false, PumpActivity::Aspirate},
        {false, true, true, false, false, false, PumpActivity::Dispense},
        {false, true, true, true, false, false, PumpActivity::Wash},
        {false, false, false, false, true, true, PumpActivity::Ready},
        {true, true, true, false, true, false, PumpActivity::Valve},
        {true, false, false, false, false, true, PumpActivity::Wait},
        {true, true, true, false, false, true, PumpActivity::Dispense},
        {true, false, false, false, true, true, PumpActivity::Valve},
    };
    for (const auto& k : cases) {
        hooks.followed = k.followed;
        c.pump_moving = k.moving;
        c.move_dispensing = k.dispensing;
        c.move_washing = k.washing;
        c.valve_busy = k.busy;
        hooks.waiting = k.waiting;
        pass(0);
        EXPECT_EQ(c.activity.load(), k.want) << &k - cases;
    }
}

// --- notifications and the status line -------------------------------------------------

TEST_F(CommPass, EveryPassEndsOnceAndTheStatusLineIsRebuiltEvery22nd) {
    for (int i = 1; i <= 66; ++i) {
        pass();
        const bool rebuilt = i % 22 == 0;
        std::vector<Heard> want{{Heard::PassDone}};
        if (rebuilt) want.push_back({Heard::StatusLine});
        EXPECT_EQ(listener.heard(), want) << "pass " << i;
        if (i == 21) {
            EXPECT_EQ(c.status_line(), "");
        }
        listener.clear();
    }
    EXPECT_EQ(c.status_line(),
              "Pump:100    Gearbox:KR-TVN1    uL/Rev:100.000    Backlash(uL):disabled");
}

TEST(StatusLine, Parts) {
    PumpSettings s;
    s.pump = 0;
    s.enable_pump_ul = 1;
    EXPECT_EQ(build_status_line(s, true, 1.0),
              "Pump:4    Gearbox:KR-TVN1    uL/Rev:4.009    Backlash(uL):1.000");
    s.pump = 7;
    s.gearbox = -1;
    EXPECT_EQ(build_status_line(s, false, 0.0),
              "Pump:none    Gearbox:none    uL/Rev:0.000    Backlash(uL):disabled");
}

// --- the thread itself ----------------------------------------------------------------

TEST(CommThreadLifecycle, RunsPassesUntilStoppedAndJoins) {
    // Counts passes, and lets the test know when three have run.
    struct PassCounter final : PassHooks {
        void pass_begins() override {
            std::lock_guard lock(mutex);
            ++count;
            counted.notify_all();
        }
        std::mutex mutex;
        std::condition_variable counted;
        int count = 0;
    } hooks;
    CommState comm;
    CommThread thread(comm, hooks, 5);
    thread.start();
    EXPECT_TRUE(thread.running());
    {
        std::unique_lock lock(hooks.mutex);
        EXPECT_TRUE(hooks.counted.wait_for(lock, std::chrono::seconds(10),
                                           [&] { return hooks.count >= 3; }));
    }
    thread.stop();
    EXPECT_FALSE(thread.running());
    const int seen = hooks.count;  // joined: no pass runs any more
    thread.stop();                 // idempotent
    thread.start();
    EXPECT_TRUE(thread.running()) << "a stopped thread can start again";
    thread.stop();
    EXPECT_GT(hooks.count, seen - 1);
}

}  // namespace
}  // namespace quorvel
