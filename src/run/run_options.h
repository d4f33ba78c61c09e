#pragma once
// The command line of quorvel-run. Any thread.

#include <string>
#include <string_view>
#include <vector>

namespace quorvel::run {

// A port named on the command line: COM1..COM4, or a device by its path.
struct PortChoice {
    int com = 0;  // 1..4, or 0
    std::string device;
    bool given() const { return com != 0 || !device.empty(); }
};

struct RunOptions {
    std::string method_path;
    bool no_init = false;
    bool repeat = false;
    bool json = false;
    bool control = false;  // standard input carries commands, not only Event presses
    bool list = false;
    bool simulate = false;
    double time_scale = 1.0;  // simulated durations only
    int start_at = 1;         // the row the run starts at, from 1; checked against the file
    std::string setup_file;   // empty: setup.txt in the current folder
    std::string log_file;     // empty: no run record
    PortChoice pump_port;
    PortChoice valve_port;
};

enum class ParseOutcome { Run, Help, Version, UsageError };

struct ParsedArguments {
    ParseOutcome outcome = ParseOutcome::UsageError;
    RunOptions options;
    std::string error;  // for UsageError: what was wrong, without the usage text
};

// args: the arguments after the program's name.
ParsedArguments parse_run_arguments(const std::vector<std::string_view>& args);

extern const char* const kRunUsage;

}  // namespace quorvel::run
