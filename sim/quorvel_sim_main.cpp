// Serves a simulated pump controller and valve actuator on two pseudo-terminals until
// SIGINT or SIGTERM, printing their paths for the program (or a test harness) to use.

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "common/unique_fd.h"
#include "sim_device.h"
#include "sim_text.h"

namespace {

constexpr int kUsageError = 2;

int g_wake_fd = -1;

void on_stop_signal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_wake_fd, &byte, 1);
}

void print_usage(std::FILE* to) {
    std::fputs(
        "usage: quorvel-sim [options]\n"
        "Simulates the pump controller (COM1) and the valve actuator (COM2) on\n"
        "pseudo-terminals and prints their paths as QUORVEL_COM1=... and QUORVEL_COM2=...\n"
        "\n"
        "  --time-scale X   multiply every simulated duration by X (default 1)\n"
        "  --pump-silent    the pump reads commands but never answers\n"
        "  --valve-silent   the valve reads commands but never answers\n"
        "  --garbage        put random bytes before every answer (both devices)\n"
        "  --nul-bytes      put NUL bytes inside every answer (both devices)\n"
        "  --pump-never-stops\n"
        "                   the pump reports the start of every motion (~) but never\n"
        "                   its end (|); a move runs until SSTP or the escape byte\n"
        "  --pump-refuses-motion\n"
        "                   the pump answers MOVR and SLEW lines with ? and does not move\n"
        "  --pump-hangs-up-mid-move\n"
        "                   the pump's pseudo-terminal is closed halfway through a move,\n"
        "                   no sooner than 0.2 s after its start\n"
        "  --help           show this text\n"
        "  --version        show the version\n",
        to);
}

int usage_error(const std::string& message) {
    std::fprintf(stderr, "quorvel-sim: %s\n", message.c_str());
    print_usage(stderr);
    return kUsageError;
}

struct Options {
    double time_scale = 1.0;
    bool pump_silent = false;
    bool valve_silent = false;
    bool garbage = false;
    bool nul_bytes = false;
    bool pump_never_stops = false;
    bool pump_refuses_motion = false;
    bool pump_hangs_up_mid_move = false;
};

void apply(const Options& o, quorvel::sim::PtyDevice& device, bool silent) {
    device.faults().silent = silent;
    device.faults().garbage = o.garbage;
    device.faults().nul_bytes = o.nul_bytes;
}

void apply_pump(const Options& o, quorvel::sim::SimPump& pump) {
    apply(o, pump, o.pump_silent);
    pump.faults().never_stops = o.pump_never_stops;
    pump.faults().refuses_motion = o.pump_refuses_motion;
    pump.faults().hangs_up_mid_move = o.pump_hangs_up_mid_move;
}

// "--time-scale X" or "--time-scale=X" at argv[i]; i moves past X. An exit status when the
// value is missing or bad.
std::optional<int> parse_time_scale(int argc, char** argv, int& i, Options& opt) {
    const std::string_view arg = argv[i];
    std::string_view value;
    if (arg == "--time-scale") {
        if (i + 1 >= argc) return usage_error("--time-scale needs a value");
        value = argv[++i];
    } else {
        value = arg.substr(std::string_view("--time-scale=").size());
    }
    const auto scale = quorvel::sim::detail::parse_number(value);
    if (!scale || *scale < 0) {
        return usage_error("bad --time-scale value '" + std::string(value) + "'");
    }
    opt.time_scale = *scale;
    return std::nullopt;
}

// Reads the command line into opt; an exit status when the program is to end at once.
std::optional<int> parse_options(int argc, char** argv, Options& opt) {
    bool options_done = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (!options_done && arg == "--") {
            options_done = true;
        } else if (options_done || !arg.starts_with("-")) {
            // Nothing but options: it reads no file.
            return usage_error("unexpected argument '" + std::string(arg) + "'");
        } else if (arg == "--help" || arg == "-h") {
            print_usage(stdout);
            return 0;
        } else if (arg == "--version") {
            std::puts("quorvel-sim " QUORVEL_VERSION);
            return 0;
        } else if (arg == "--pump-silent") {
            opt.pump_silent = true;
        } else if (arg == "--valve-silent") {
            opt.valve_silent = true;
        } else if (arg == "--garbage") {
            opt.garbage = true;
        } else if (arg == "--nul-bytes") {
            opt.nul_bytes = true;
        } else if (arg == "--pump-never-stops") {
            opt.pump_never_stops = true;
        } else if (arg == "--pump-refuses-motion") {
            opt.pump_refuses_motion = true;
        } else if (arg == "--pump-hangs-up-mid-move") {
            opt.pump_hangs_up_mid_move = true;
        } else if (arg == "--time-scale" || arg.starts_with("--time-scale=")) {
            if (const auto status = parse_time_scale(argc, argv, i, opt)) return status;
        } else {
            return usage_error("unknown option '" + std::string(arg) + "'");
        }
    }
    return std::nullopt;
}

sigset_t stop_signal_set() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

// The handler only wakes main through a pipe, so it works whichever thread the kernel
// picks, and a signal that comes before we wait is not lost. Installing it also undoes the
// SIGINT-ignored state that shells give background jobs. Both ends invalid, with errno
// set, when there is no pipe.
quorvel::FdPair install_stop_handler() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return {};
    quorvel::FdPair wake{quorvel::UniqueFd(ends[0]), quorvel::UniqueFd(ends[1])};
    g_wake_fd = wake.write.get();
    struct sigaction act {};
    act.sa_handler = on_stop_signal;
    sigemptyset(&act.sa_mask);
    sigaction(SIGINT, &act, nullptr);
    sigaction(SIGTERM, &act, nullptr);
    return wake;
}

// Runs both devices, prints their paths and serves them until a stop signal wakes stop_fd.
int serve(const Options& opt, int stop_fd) {
    // The device threads inherit a mask that keeps the signals away from their writes.
    const sigset_t stop_signals = stop_signal_set();
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &stop_signals, &previous);

    quorvel::sim::SimPump pump(opt.time_scale);
    quorvel::sim::SimValve valve(opt.time_scale);
    apply_pump(opt, pump);
    apply(opt, valve, opt.valve_silent);
    std::string error;
    if (!pump.start(&error)) {
        std::fprintf(stderr, "quorvel-sim: pump: %s\n", error.c_str());
        return 1;
    }
    if (!valve.start(&error)) {
        std::fprintf(stderr, "quorvel-sim: valve: %s\n", error.c_str());
        return 1;
    }
    std::printf("QUORVEL_COM1=%s\nQUORVEL_COM2=%s\n", pump.device_path().c_str(),
                valve.device_path().c_str());
    std::fflush(stdout);

    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    char byte = 0;
    while (::read(stop_fd, &byte, 1) < 0 && errno == EINTR) {
    }
    // Kept away for good: the pipe is closed on the way out, and a later signal's handler
    // must not write to a descriptor that is no longer its own.
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    valve.stop();
    pump.stop();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    if (const auto status = parse_options(argc, argv, opt)) return *status;
    const quorvel::FdPair wake = install_stop_handler();
    if (!wake.read) {
        std::perror("quorvel-sim: pipe");
        return 1;
    }
    return serve(opt, wake.read.get());
}
