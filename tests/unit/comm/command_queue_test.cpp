#include "comm/command_queue.h"

#include <gtest/gtest.h>

#include <thread>

#include "comm/pump_commands.h"
#include "comm_fixture.h"

namespace quorvel {
namespace {

using testing::CommFixture;
using testing::Heard;

TEST(CommandQueue, NinetyNinePendingHundredthWrapsToEmptyWithMessage) {
    CommFixture f;
    f.attach_pump();
    for (int i = 0; i < 99; ++i) enqueue_command(f.comm, "L" + std::to_string(i), f.comm.pump);
    EXPECT_EQ(f.comm.pump.queue.pending(), 99);
    EXPECT_TRUE(f.listener.messages().empty());

    enqueue_command(f.comm, "L99", f.comm.pump);
    EXPECT_TRUE(f.comm.pump.queue.empty());
    EXPECT_EQ(f.listener.heard(),
              (std::vector<Heard>{{Heard::Message, 0, "Fatal Communication Error", ""}}));

    enqueue_command(f.comm, "next", f.comm.pump);
    f.pass();
    EXPECT_EQ(f.pump_port->written(), "next\r");
}

TEST(CommandQueue, IndicesWrapFrom99ToZero) {
    CommandQueue q;
    for (int i = 0; i < 99; ++i) {
        q.push("x");
        ASSERT_TRUE(q.pop());
    }
    EXPECT_EQ(q.write_index(), 99);
    q.push("a");
    EXPECT_EQ(q.write_index(), 0);
    EXPECT_EQ(*q.pop(), "a");
    EXPECT_EQ(q.read_index(), 0);
    EXPECT_FALSE(q.pop());
}

TEST(CommandQueue, NoPortOrAClosedQueueDropsSilently) {
    CommFixture f;
    enqueue_command(f.comm, "SSTP", f.comm.pump);
    enqueue_command(f.comm, "cp", f.comm.valve);
    EXPECT_TRUE(f.comm.pump.queue.empty());
    EXPECT_TRUE(f.comm.valve.queue.empty());
    f.attach_pump();
    enqueue_command(f.comm, "SLEW=1.00000000", f.comm.pump);
    f.comm.pump.queue.close();
    for (int i = 0; i < CommandQueue::kSlots; ++i) enqueue_command(f.comm, "x", f.comm.pump);
    EXPECT_TRUE(f.comm.pump.queue.empty()) << "what waited is gone, and nothing more gets in";
    EXPECT_TRUE(f.listener.heard().empty()) << "not even an overflow";
}

// A stop takes back every motion line still waiting, across the ring's wrap, keeps the
// order of the rest, and is itself the next line after them.
TEST(CommandQueue, AStopDropsTheMotionLinesStillWaiting) {
    CommFixture f;
    f.attach_pump();
    CommandQueue& q = f.comm.pump.queue;
    for (int i = 0; i < 97; ++i) {  // the pending lines straddle slot 99
        q.push("x");
        q.pop();
    }
    for (const char* line : {"VM=10.00000000", "print pos", "MOVR=-5.00000000", "slew 3", " vm",
                             "VMAX=2", "SLEWING", "MOVR", "BLE=1"})
        enqueue_command(f.comm, line, f.comm.pump);
    stop_pump_motion(f.comm);
    std::vector<std::string> left;
    while (auto line = q.pop()) left.push_back(*line);
    EXPECT_EQ(left, (std::vector<std::string>{"print pos", "VMAX=2", "SLEWING", "BLE=1", "SSTP"}));
}

TEST(CommandQueue, OneTextIsOneLineOfAtMost251Characters) {
    const struct {
        std::string text;
        std::string queued;
    } cases[] = {
        {"VM=1.00000000", "VM=1.00000000"},
        {"SSTP\rSLEW=5", "SSTP"},  // pasted text must not become a second command
        {"SSTP\nSLEW=5", "SSTP"},
        {std::string("SSTP\0SLEW=5", 11), "SSTP"},
        {"\r\nSAVE", ""},  // reaches the controller as a lone CR, like an empty line
        {"print \"ble=\",ble\n", "print \"ble=\",ble"},
        {std::string(300, 'a'), std::string(CommandQueue::kMaxText, 'a')},
        {std::string(260, 'b') + "\r", std::string(CommandQueue::kMaxText, 'b')},
    };
    CommandQueue q;
    for (const auto& k : cases) {
        q.push(k.text);
        EXPECT_EQ(q.pop(), k.queued) << k.text;
    }
}

TEST(CommandQueue, ConcurrentProducersLoseNothing) {
    CommFixture f;
    f.attach_pump();
    auto produce = [&](char tag) {
        for (int i = 0; i < 40; ++i)
            enqueue_command(f.comm, std::string(1, tag) + std::to_string(i), f.comm.pump);
    };
    std::thread a(produce, 'a');
    std::thread b(produce, 'b');
    a.join();
    b.join();
    EXPECT_EQ(f.comm.pump.queue.pending(), 80);
    int from_a = 0, next_a = 0;
    while (auto line = f.comm.pump.queue.pop()) {
        if ((*line)[0] == 'a') {
            EXPECT_EQ(*line, "a" + std::to_string(next_a++))
                << "one producer's lines stay in order";
            ++from_a;
        }
    }
    EXPECT_EQ(from_a, 40);
}

TEST(RawByte, GoesStraightToThePortOutsideTheQueue) {
    CommFixture f;
    f.attach_both();
    enqueue_command(f.comm, "queued", f.comm.pump);
    write_raw_byte(f.comm.pump, 13);
    write_raw_byte(f.comm.valve, 27);
    EXPECT_EQ(f.pump_port->written(), "\r");
    EXPECT_EQ(f.valve_port->written(), "\x1b");
    close_port(f.comm.valve);
    write_raw_byte(f.comm.valve, 13);  // no port: nothing, no crash
    EXPECT_FALSE(f.comm.valve.has_port);
}

}  // namespace
}  // namespace quorvel
