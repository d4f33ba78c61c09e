#pragma once
// The command line of quorvel-run. Any thread.

#include <string>
#include <string_view>
#include <vector>

namespace quorvel::run {

struct RunOptions {
    std::string method_path;
    bool no_init = false;
    bool repeat = false;
    bool json = false;
    bool list = false;
    bool simulate = false;
    double time_scale = 1.0;  // simulated durations only
    int start_at = 1;         // the row the run starts at, from 1; checked against the file
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
