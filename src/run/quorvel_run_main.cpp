// quorvel-run: runs a method without windows, for scripts and unattended work.
// Usage: quorvel-run [options] METHOD.pmf

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string_view>
#include <vector>

#include "run/run_method.h"
#include "run/run_options.h"

namespace {

// A closed standard stream would be handed to the next file opened (a serial port), and
// step lines or the operator's input would then go to or come from the device.
void open_missing_standard_streams() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int null = ::open("/dev/null", O_RDWR);
        if (null >= 0 && null != fd) {
            ::dup2(null, fd);
            ::close(null);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    open_missing_standard_streams();
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
