#pragma once
// The program's own record of its method runs: every Run in the Method window appends
// the same records quorvel-run writes with --log (start, wait, event, step, error, end) to
// runs.jsonl in the state folder, so a lab has one record of every run whichever way it
// was started. A record that cannot be written is told once and never stops a run.
// on_pass and finish: communication thread (finish once it has stopped);
// set_method_file: window thread.

#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/record_log.h"
#include "method/run_records.h"

namespace quorvel {

struct System;
class PortProvider;

class RunJournal {
  public:
    using Tell = std::function<void(const std::string& text)>;
    RunJournal(System& sys, const PortProvider& ports, std::filesystem::path file,
               std::string version, Tell tell);

    // The method now in the table is the one read from (or saved to) `path`, whose bytes
    // have this digest; no path: a new method. A run of a method changed since then names
    // the file with no digest.
    void set_method_file(std::optional<std::string> path, std::optional<std::string> sha256);

    // After every pass: what the run did in it.
    void on_pass();
    // The program ends: a run still going is recorded as stopped, and the record synced.
    void finish();

  private:
    void begin(bool step_started_now);
    void end(RunEnd status, const std::string& message);
    void write(const std::string& line);
    void told_broken(const std::string& why);
    std::optional<PortRecord> port_of(DeviceRole role) const;
    double elapsed() const;

    System& sys_;
    const PortProvider& ports_;
    const std::filesystem::path file_;
    const std::string version_;
    const Tell tell_;

    std::mutex method_mutex_;
    std::optional<std::string> method_path_;
    std::optional<std::string> method_sha256_;
    std::vector<StepParams> method_steps_;

    // Communication thread only.
    RecordLog log_;
    bool log_broken_ = false;
    bool active_ = false;
    int last_row_ = -1;
    int told_wait_ = -1;
    unsigned seen_begun_ = 0;
    unsigned seen_failed_ = 0;
    unsigned seen_started_ = 0;
    unsigned seen_timeouts_[2] = {0, 0};
    std::chrono::steady_clock::time_point run_start_;
};

}  // namespace quorvel
