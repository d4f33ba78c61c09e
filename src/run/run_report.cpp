#include "run_report.h"

#include <cstdio>

#include "method/method_list_format.h"

namespace quorvel::run {
namespace {

// A reader that has gone away costs the report, never the run: the pump is still working.
void print_line(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

}  // namespace

std::string step_text_line(const MethodStep& row, int r) {
    std::string line = method_row_line(row, r);
    line.erase(line.find_last_not_of(' ') + 1);
    return line;
}

bool RunReport::open_log(const std::string& path, std::string* error) {
    log_path_ = path;
    return log_.open(path, error);
}

void RunReport::say(const std::string& text) {
    std::fprintf(stderr, "quorvel-run: %s\n", text.c_str());
    std::fflush(stderr);
}

void RunReport::log_failed(const std::string& why) {
    // Said once; the run goes on without its record rather than leave the pump to itself.
    log_broken_ = true;
    say(log_path_ + ": the run record cannot be written (" + why + "); the run goes on");
}

void RunReport::record(const std::string& line) {
    if (json_) print_line(line);
    if (!log_.is_open() || log_broken_) return;
    std::string why;
    if (!log_.append(line, &why)) log_failed(why);
}

std::optional<double> RunReport::elapsed() const {
    if (!run_start_) return std::nullopt;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - *run_start_).count();
}

void RunReport::step(const MethodStep& row, int r, std::optional<double> time_s) {
    if (!json_) print_line(step_text_line(row, r));
    record(step_record(decode_row(row), r, time_s));
}

void RunReport::wait(int r) {
    say("step " + std::to_string(r + 1) + " waits for an event: press Enter");
    record(row_record("wait", r, elapsed()));
}

void RunReport::row_event(const char* type, int r) {
    const std::string t = type;
    if (t == "pause")
        say(r >= 0 ? "paused: no step after step " + std::to_string(r + 1) + " starts until resume"
                   : "paused: no step starts until resume");
    else if (t == "resume")
        say("resumed");
    record(row_record(type, r, elapsed()));
}

void RunReport::error(const std::string& message, std::optional<DeviceRole> device,
                      const std::optional<PortRecord>& port) {
    say(message);
    record(error_record(message, device, port, elapsed()));
}

void RunReport::end(RunEnd status, int exit_status, int last_row, const std::string& message) {
    record(end_record(status, exit_status, last_row, message, std::chrono::system_clock::now()));
    std::string why;
    if (log_.is_open() && !log_broken_ && !log_.sync(&why)) log_failed(why);
}

}  // namespace quorvel::run
