#include "session/run_journal.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "comm/serial_port.h"
#include "run_bench.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;

struct NamedPorts final : PortProvider {
    std::unique_ptr<SerialPort> open(int, std::string*) override { return nullptr; }
    std::string device_name(int index) const override {
        return "/dev/ttyS" + std::to_string(index - 1);
    }
};

// The Method window's runs, with the record of runs written after every pass.
struct JournalBench : testing::RunBench {
    explicit JournalBench(const fs::path& file)
        : journal(sys, ports, file, "9.9", [this](const std::string& t) { told.push_back(t); }) {
        PumpSettings s = sys.settings();
        s.com_pump = 1;
        s.com_valve = 2;
        sys.set_settings(s);
    }
    void run_pass(std::uint32_t now) override {
        testing::RunBench::run_pass(now);
        journal.on_pass();
    }
    NamedPorts ports;
    std::vector<std::string> told;
    RunJournal journal;
};

class RunJournalTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string d = fs::temp_directory_path() / "run-journal-XXXXXX";
        ASSERT_TRUE(::mkdtemp(d.data()));
        dir_ = d;
        file_ = dir_ / "state" / "runs.jsonl";
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::vector<std::string> lines() const {
        std::ifstream in(file_);
        std::vector<std::string> out;
        for (std::string l; std::getline(in, l);) out.push_back(l);
        return out;
    }
    // Each record's type, with the members a case asks about.
    static std::string summary(const std::string& line, const std::vector<std::string>& keys) {
        std::smatch m;
        std::string out;
        if (std::regex_search(line, m, std::regex(R"re(^\{"type":"(\w+)")re"))) out = m[1];
        for (const std::string& k : keys) {
            if (std::regex_search(line, m, std::regex("\"" + k + R"re(":("[^"]*"|[^,}]*))re")))
                out += " " + k + "=" + m[1].str();
        }
        return out;
    }
    fs::path dir_;
    fs::path file_;
};

TEST_F(RunJournalTest, EachRunIsRecordedFromItsStartToItsEnd) {
    const MethodStep dispense{"Dispense", "20", "600", "0", "false"};
    const MethodStep aspirate_on_event{"Aspirate", "10", "60", "0", "true"};
    const struct {
        const char* name;
        bool edited;  // the method was changed after it was opened
        std::function<void(testing::RunBench&)> act;
        std::vector<std::string> records;
    } cases[] = {
        {"to its end, through an Event",
         false,
         [](testing::RunBench& b) {
             b.motion_ends();
             b.passes(2);
             b.r.event_flag = true;
             b.pass();
             b.motion_ends();
             b.passes(2);
         },
         {"start method=\"/m/a.pmf\" sha256=\"abc\" steps=2 pump_port=\"COM1\" "
          "pump_device=\"/dev/ttyS0\" program=\"quorvel\" version=\"9.9\"",
          "step row=1", "wait row=2", "event row=2", "step row=2",
          "end row=2 status=\"finished\" exit=null"}},
        {"reset by the operator",
         true,
         [](testing::RunBench& b) {
             set_run_mode(b.sys, MethodRunMode::Idle);
             b.pass();
         },
         {"start method=\"/m/a.pmf\" sha256=null steps=2 pump_port=\"COM1\" "
          "pump_device=\"/dev/ttyS0\" program=\"quorvel\" version=\"9.9\"",
          "step row=1", "end row=1 status=\"stopped\" exit=null"}},
        {"ended by a lost port",
         false,
         [](testing::RunBench& b) {
             b.pump_port->hang_up();
             b.passes(2);
         },
         {"start method=\"/m/a.pmf\" sha256=\"abc\" steps=2 pump_port=\"COM1\" "
          "pump_device=\"/dev/ttyS0\" program=\"quorvel\" version=\"9.9\"",
          "step row=1", "error device=\"pump\" port=\"COM1\"",
          "end row=1 status=\"failed\" exit=null"}},
    };
    const std::vector<std::string> start_keys = {"method",      "sha256",  "steps",  "pump_port",
                                                 "pump_device", "program", "version"};
    const std::vector<std::string> keys = {"row", "device", "port", "status", "exit"};
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        fs::remove(file_);
        JournalBench b(file_);
        b.load({dispense, aspirate_on_event});
        b.journal.set_method_file("/m/a.pmf", "abc");
        if (k.edited) b.sys.method_table[0].rate_text = "300";
        b.run();
        b.pass();
        k.act(b);
        b.passes(3);
        std::vector<std::string> got;
        for (const std::string& l : lines()) {
            const bool start = l.starts_with(R"({"type":"start")");
            got.push_back(summary(l, start ? start_keys : keys));
        }
        EXPECT_EQ(got, k.records);
        EXPECT_TRUE(b.told.empty());
    }
}

// A folder that cannot be made is told once; the runs go on as before.
TEST_F(RunJournalTest, ARecordThatCannotBeWrittenIsToldOnceAndStopsNothing) {
    std::ofstream(dir_ / "state") << "a file where the folder should be";
    JournalBench b(file_);
    b.load({{"Dispense", "20", "600", "0", "false"}, {"Dispense", "20", "600", "0", "false"}});
    b.run();
    b.pass();
    b.motion_ends();
    b.passes(2);
    b.motion_ends();
    b.passes(2);
    EXPECT_EQ(b.r.current_step, 1);
    ASSERT_EQ(b.told.size(), 1u);
    EXPECT_NE(b.told[0].find("cannot be written"), std::string::npos) << b.told[0];
}

}  // namespace
}  // namespace quorvel
