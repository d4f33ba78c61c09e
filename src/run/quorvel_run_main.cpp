// quorvel-run: runs a method without windows, for scripts and unattended work.
// Usage: quorvel-run [options] METHOD.pmf

#include <cstdio>
#include <string_view>
#include <vector>

#include "run/run_method.h"
#include "run/run_options.h"

int main(int argc, char** argv) {
    using namespace quorvel::run;
    const std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    const ParsedArguments parsed = parse_run_arguments(args);
    switch (parsed.outcome) {
        case ParseOutcome::Help:
            std::fputs(kRunUsage, stdout);
            return kExitDone;
        case ParseOutcome::Version:
            std::puts("quorvel-run " QUORVEL_VERSION);
            return kExitDone;
        case ParseOutcome::UsageError:
            std::fprintf(stderr, "quorvel-run: %s\n%s", parsed.error.c_str(), kRunUsage);
            return kExitUsage;
        case ParseOutcome::Run:
            break;
    }
    return run_method(parsed.options);
}
