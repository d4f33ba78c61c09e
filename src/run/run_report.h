#pragma once
// What quorvel-run tells of a run: text for a person (step lines on standard output, the
// rest on standard error), or with --json one record a line on standard output; and with
// --log every record appended to the run record, whichever of the two is printed.
// Main thread.

#include <chrono>
#include <optional>
#include <string>

#include "common/record_log.h"
#include "method/run_records.h"

namespace quorvel::run {

// The Method window's step-list line of row index r (numbered r + 1), without its trailing
// blanks: a step as the text output shows it.
std::string step_text_line(const MethodStep& row, int r);

class RunReport {
  public:
    explicit RunReport(bool json) : json_(json) {}

    // False with *error set when the file cannot be had.
    bool open_log(const std::string& path, std::string* error);

    // Times in records count from here (null before it): the run's first step may start.
    void run_begins() { run_start_ = std::chrono::steady_clock::now(); }

    // Text on standard error, for a person in both modes.
    void say(const std::string& text);
    // A record: printed with --json, always logged.
    void record(const std::string& line);

    void start(const RunStartRecord& s) { record(start_record(s)); }
    // The step's line in text, its record with --json; time_s: nothing when listed.
    void step(const MethodStep& row, int r, std::optional<double> time_s);
    // An Event step waits: the prompt in text, the record with --json.
    void wait(int r);
    // "event", "pause" or "resume" at the row last started; text says the last two.
    void row_event(const char* type, int r);
    // Said, and recorded.
    void error(const std::string& message, std::optional<DeviceRole> device = std::nullopt,
               const std::optional<PortRecord>& port = std::nullopt);
    // The last record; the log is synced after it.
    void end(RunEnd status, int exit_status, int last_row, const std::string& message);

  private:
    std::optional<double> elapsed() const;
    void log_failed(const std::string& why);

    bool json_;
    RecordLog log_;
    std::string log_path_;
    bool log_broken_ = false;
    std::optional<std::chrono::steady_clock::time_point> run_start_;
};

}  // namespace quorvel::run
