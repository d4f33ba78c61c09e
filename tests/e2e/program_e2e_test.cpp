// The real quorvel program, started offscreen in a temporary directory, against the
// simulated devices.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "child_process.h"
#include "comm/pump_init.h"
#include "e2e_fixture.h"
#include "sim_device.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;
using testing::ChildProcess;
using testing::wait_until;

class ProgramE2e : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("quorvel-program-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "runtime");
        fs::permissions(dir_ / "runtime", fs::perms::owner_all);
        std::string error;
        ASSERT_TRUE(pump_.start(&error)) << error;
        ASSERT_TRUE(valve_.start(&error)) << error;
    }
    void TearDown() override { fs::remove_all(dir_); }

    void write_setup(const std::string& text) {
        std::ofstream(dir_ / "setup.txt", std::ios::binary) << text;
    }
    std::string read_setup() {
        std::ifstream in(dir_ / "setup.txt", std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    std::unique_ptr<ChildProcess> start(const std::string& com2 = {}) {
        return std::make_unique<ChildProcess>(
            QUORVEL_BINARY, std::vector<std::string>{}, dir_.string(),
            std::map<std::string, std::string>{
                {"QT_QPA_PLATFORM", "offscreen"},
                // A decimal comma must reach neither setup.txt nor the controller.
                {"LC_ALL", "de_DE.UTF-8"},
                {"XDG_RUNTIME_DIR", (dir_ / "runtime").string()},
                {"QUORVEL_COM1", pump_.device_path()},
                {"QUORVEL_COM2", com2.empty() ? valve_.device_path() : com2}});
    }
    static std::vector<std::string> script_lines() {
        std::vector<std::string> lines{"print \"ble=\",ble", "print \"blsh=\",blsh"};
        for (const std::string_view l : controller_setup_script) {
            if (l != "stop") lines.emplace_back(l);
        }
        return lines;
    }

    fs::path dir_;
    sim::SimPump pump_{0.05};
    sim::SimValve valve_{0.05};
};

TEST_F(ProgramE2e, StartUpWakesBothDevicesAndInitialisesThenSigtermShutsDown) {
    write_setup("com_pump=1\r\ncom_valve=2\r\npump=1\r\n");
    auto program = start();
    ASSERT_TRUE(program->started());
    ASSERT_TRUE(wait_until([&] { return pump_.monitor_running(); }, std::chrono::seconds(60)));

    std::vector<std::string> expected{"", ""};  // the two carriage returns
    for (const std::string& l : script_lines()) expected.push_back(l);
    ASSERT_TRUE(wait_until([&] { return pump_.received_lines().size() >= expected.size() + 2; }));
    const auto lines = pump_.received_lines();
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + expected.size()), expected);
    EXPECT_EQ(lines[expected.size()], "MSEL=256.00000000");
    EXPECT_EQ(lines[expected.size() + 1], "MUNIT=2432.00000000");
    EXPECT_EQ(valve_.received_bytes(), "\r");

    program->signal(SIGTERM);
    ASSERT_EQ(program->wait_exit(std::chrono::seconds(30)), 0);
    const std::string bytes = pump_.received_bytes();
    ASSERT_FALSE(bytes.empty());
    EXPECT_EQ(bytes.back(), '\x1b') << "the escape byte is the last thing the pump hears";
    const std::string setup = read_setup();
    EXPECT_EQ(setup.rfind("com_pump=1\r\ncom_valve=2\r\ngearbox=0\r\npump=1\r\n", 0), 0u) << setup;
    EXPECT_NE(setup.find("pump_ul_1=100.5500\r\n"), std::string::npos) << setup;
}

TEST_F(ProgramE2e, APortThatCannotBeOpenedIsLeftOutOfSetup) {
    write_setup("com_pump=1\r\ncom_valve=2\r\n");
    auto program = start((dir_ / "no-such-device").string());
    ASSERT_TRUE(program->started());
    // The valve's message waits for the operator; a SIGTERM ends the program all the same.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    ASSERT_TRUE(program->running());
    program->signal(SIGTERM);
    ASSERT_EQ(program->wait_exit(std::chrono::seconds(30)), 0);
    const std::string setup = read_setup();
    EXPECT_EQ(setup.rfind("com_pump=1\r\ngearbox=", 0), 0u) << setup;
    EXPECT_EQ(setup.find("com_valve"), std::string::npos) << setup;
}

TEST_F(ProgramE2e, SecondInstanceExitsZeroAndTheFirstRunsOn) {
    write_setup("com_pump=1\r\n");
    auto first = start();
    ASSERT_TRUE(
        wait_until([&] { return pump_.received_lines().size() >= 3; }, std::chrono::seconds(60)));
    auto second = start();
    EXPECT_EQ(second->wait_exit(std::chrono::seconds(30)), 0);
    EXPECT_TRUE(first->running());
    first->signal(SIGTERM);
    EXPECT_EQ(first->wait_exit(std::chrono::seconds(30)), 0);
}

}  // namespace
}  // namespace quorvel
