#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "comm/pump_commands.h"
#include "comm/valve_commands.h"
#include "comm_fixture.h"

namespace quorvel {
namespace {

using testing::CommFixture;

std::vector<std::string> drain(CommandQueue& q) {
    std::vector<std::string> out;
    while (auto line = q.pop()) out.push_back(*line);
    return out;
}

TEST(PumpCommands, ValuedLines) {
    EXPECT_EQ(format_pump_value(PumpCommand::MOVR, 5, true), "MOVR=-5.00000000");
    EXPECT_EQ(format_pump_value(PumpCommand::MSEL, 256, false), "MSEL=256.00000000");
    EXPECT_EQ(format_pump_value(PumpCommand::VM, 2.5, false), "VM=2.50000000");
    EXPECT_EQ(format_pump_value(PumpCommand::SLEW, 0.5, false), "SLEW=0.50000000");
    EXPECT_EQ(format_pump_value(PumpCommand::VM, 10.0 / 60.0, false), "VM=0.16666667");
    // 51 characters fit; one more digit would not.
    const std::string fits = format_pump_value(PumpCommand::MOVR, 2e35, true);
    EXPECT_EQ(fits.size(), 51u);
    EXPECT_EQ(format_pump_value(PumpCommand::MOVR, 2e36, true), "");
    EXPECT_EQ(format_pump_value(PumpCommand::MOVR, std::numeric_limits<double>::infinity(), false),
              "");
    EXPECT_EQ(format_pump_value(PumpCommand::VM, std::numeric_limits<double>::quiet_NaN(), false),
              "");
}

TEST(PumpCommands, MovesQueueTheirLinesAndRecordTheKind) {
    CommFixture f;
    f.attach_pump();
    CommState& c = f.comm;

    move_pump_relative(f.comm, 1.5, 20, MoveKind::Wash);
    EXPECT_EQ(drain(c.pump.queue), (std::vector<std::string>{"VM=1.50000000", "MOVR=20.00000000"}));
    EXPECT_TRUE(c.pump_moving && c.move_dispensing && c.move_washing);

    c.pump_moving = false;
    slew_pump(f.comm, 0.5, MoveKind::Aspirate);
    EXPECT_EQ(drain(c.pump.queue), (std::vector<std::string>{"SLEW=-0.50000000"}));
    EXPECT_TRUE(c.pump_moving);
    EXPECT_FALSE(c.move_dispensing);
    EXPECT_TRUE(c.move_washing) << "an aspirate leaves the wash flag alone";

    move_pump_relative(f.comm, 0.25, 100, MoveKind::Dispense);
    EXPECT_EQ(drain(c.pump.queue),
              (std::vector<std::string>{"VM=0.25000000", "MOVR=100.00000000"}));
    EXPECT_TRUE(c.move_dispensing);
    EXPECT_FALSE(c.move_washing);

    move_pump_relative(f.comm, 0.25, 100, MoveKind::Aspirate);
    EXPECT_EQ(drain(c.pump.queue),
              (std::vector<std::string>{"VM=0.25000000", "MOVR=-100.00000000"}));

    slew_pump(f.comm, 0.5, static_cast<MoveKind>(9));
    EXPECT_EQ(drain(c.pump.queue), (std::vector<std::string>{"SLEW=0.50000000"}));
    EXPECT_TRUE(c.move_washing) << "any other kind is a wash";

    send_pump_command(f.comm, PumpCommand::SAVE);
    send_pump_command(f.comm, PumpCommand::SSTP);
    EXPECT_EQ(drain(c.pump.queue), (std::vector<std::string>{"SAVE", "SSTP"}));
}

TEST(PumpCommands, AMoveThatCannotBeSentWholeSendsNothing) {
    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        double rate, volume;
    } cases[] = {{1e40, 10}, {1, 1e40}, {inf, 10}, {1, -inf}, {std::nan(""), 1}};
    for (const auto& k : cases) {
        CommFixture f;
        f.attach_pump();
        EXPECT_FALSE(move_pump_relative(f.comm, k.rate, k.volume, MoveKind::Dispense));
        EXPECT_FALSE(slew_pump(f.comm, k.rate * k.volume, MoveKind::Aspirate));
        EXPECT_TRUE(f.comm.pump.queue.empty()) << k.rate << " " << k.volume;
        EXPECT_FALSE(f.comm.pump_moving || f.comm.move_dispensing);
    }
}

TEST(PumpCommands, NoPortStillSetsTheMotionFlags) {
    CommFixture f;
    move_pump_relative(f.comm, 1, 1, MoveKind::Dispense);
    EXPECT_TRUE(f.comm.pump_moving);
    EXPECT_TRUE(f.comm.pump.queue.empty());
}

TEST(ValveCommands, MoveLines) {
    const struct {
        int position;
        ValveDirection dir;
        ValveKind kind;
        const char* line;
    } cases[] = {
        {3, ValveDirection::CCW, ValveKind::MultiPosition, "cc3"},
        {3, ValveDirection::None, ValveKind::MultiPosition, "go3"},
        {5, ValveDirection::Short, ValveKind::MultiPosition, "go5"},
        {12, ValveDirection::CW, ValveKind::MultiPosition, "cw12"},
        {1, ValveDirection::CW, ValveKind::TwoPosition, "goA"},
        {2, ValveDirection::Short, ValveKind::TwoPosition, "goB"},
        {0, ValveDirection::Short, ValveKind::TwoPosition, "goB"},
    };
    for (const auto& k : cases) EXPECT_EQ(format_valve_move(k.position, k.dir, k.kind), k.line);
}

TEST(ValveCommands, QueuesMoveThenCpAndMarksBusy) {
    CommFixture f;
    f.attach_valve();
    send_valve_command(f.comm, 3, ValveDirection::CCW, ValveKind::MultiPosition);
    EXPECT_EQ(drain(f.comm.valve.queue), (std::vector<std::string>{"cc3", "cp"}));
    EXPECT_TRUE(f.comm.valve_busy);
}

}  // namespace
}  // namespace quorvel
