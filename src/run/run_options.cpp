#include "run_options.h"

#include <charconv>
#include <cmath>
#include <optional>

namespace quorvel::run {

const char* const kRunUsage =
    "usage: quorvel-run [options] METHOD.pmf\n"
    "Runs a method without windows: settings from setup.txt in the current folder, the\n"
    "pump initialised, then every step as the Method window's Run does.\n"
    "\n"
    "  --no-init         do not initialise the pump first (its controller must already\n"
    "                    report motion)\n"
    "  --repeat          start again at step 1 after the last step, until interrupted\n"
    "  --start-at N      start the run at step N (the steps after it follow; --repeat\n"
    "                    starts again at step 1)\n"
    "  --pump-port P     the pump's port: COM1 to COM4 or a device path (setup.txt is\n"
    "                    then not written)\n"
    "  --valve-port P    the valve's port, the same way\n"
    "  --setup FILE      the settings from FILE in place of setup.txt (nothing is written)\n"
    "  --json            JSON records on standard output, one object a line (start,\n"
    "                    wait, event, step, pause, resume, error, end), not text\n"
    "  --log FILE        append the run's JSON records to FILE (with or without --json)\n"
    "  --control         commands on standard input, one a line: event, pause,\n"
    "                    resume, stop\n"
    "  --list            print the method's step lines and exit, touching no port\n"
    "  --simulate        run against the built-in simulated pump (COM1) and valve (COM2)\n"
    "  --time-scale X    with --simulate: multiply every simulated duration by X\n"
    "  --help            show this text\n"
    "  --version         show the version\n"
    "\n"
    "A step marked Event waits for a line on standard input (Enter), or with --control\n"
    "for the command event.\n"
    "Exit status: 0 the method ran to its end; 1 a port could not be opened; 2 bad usage or\n"
    "a method that cannot run; 3 a device stopped answering or a step failed; 4 standard\n"
    "input ended while a step waited for its Event or a paused run for resume; 128 + n\n"
    "after signal n (the command stop ends the run as SIGINT does: 130).\n";

namespace {

bool parse_scale(std::string_view text, double& out) {
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, out);
    return ec == std::errc() && ptr == end && std::isfinite(out) && out >= 0.0;
}

bool parse_row(std::string_view text, int& out) {
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, out);
    return ec == std::errc() && ptr == end && out >= 1;
}

// For an option that takes a value, "--name V" or "--name=V": nothing when args[i] is not
// that option; else its value, empty when none follows. Moves i past a separate value.
std::optional<std::optional<std::string_view>> option_value(
    const std::vector<std::string_view>& args, std::size_t& i, std::string_view name) {
    const std::string_view arg = args[i];
    if (arg == name) {
        if (i + 1 >= args.size()) return std::optional<std::string_view>();
        return std::optional<std::string_view>(args[++i]);
    }
    if (arg.size() > name.size() && arg.starts_with(name) && arg[name.size()] == '=')
        return std::optional<std::string_view>(arg.substr(name.size() + 1));
    return std::nullopt;
}

bool parse_port(std::string_view text, PortChoice& out) {
    if (text.size() == 4 && (text.starts_with("COM") || text.starts_with("com")) &&
        text[3] >= '1' && text[3] <= '4') {
        out = {text[3] - '0', {}};
        return true;
    }
    if (text.find('/') == std::string_view::npos) return false;
    out = {0, std::string(text)};
    return true;
}

ParsedArguments usage_error(std::string message) {
    ParsedArguments p;
    p.outcome = ParseOutcome::UsageError;
    p.error = std::move(message);
    return p;
}

}  // namespace

ParsedArguments parse_run_arguments(const std::vector<std::string_view>& args) {
    ParsedArguments p;
    RunOptions& o = p.options;
    bool have_scale = false;
    bool options_done = false;
    bool have_method = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (!options_done && arg.starts_with("-") && arg != "-") {
            if (arg == "--") {
                options_done = true;
            } else if (arg == "--help" || arg == "-h") {
                p.outcome = ParseOutcome::Help;
                return p;
            } else if (arg == "--version") {
                p.outcome = ParseOutcome::Version;
                return p;
            } else if (arg == "--no-init") {
                o.no_init = true;
            } else if (arg == "--repeat") {
                o.repeat = true;
            } else if (arg == "--json") {
                o.json = true;
            } else if (arg == "--control") {
                o.control = true;
            } else if (arg == "--list") {
                o.list = true;
            } else if (arg == "--simulate") {
                o.simulate = true;
            } else if (const auto value = option_value(args, i, "--start-at")) {
                if (!*value) return usage_error("--start-at needs a value");
                if (!parse_row(**value, o.start_at))
                    return usage_error("bad --start-at value '" + std::string(**value) + "'");
            } else if (const auto value = option_value(args, i, "--log")) {
                if (!*value || (*value)->empty()) return usage_error("--log needs a file");
                o.log_file = std::string(**value);
            } else if (const auto value = option_value(args, i, "--setup")) {
                if (!*value || (*value)->empty()) return usage_error("--setup needs a file");
                o.setup_file = std::string(**value);
            } else if (arg.starts_with("--pump-port") || arg.starts_with("--valve-port")) {
                const bool pump = arg.starts_with("--pump-port");
                const std::string_view name = pump ? "--pump-port" : "--valve-port";
                const auto value = option_value(args, i, name);
                if (!value) return usage_error("unknown option '" + std::string(arg) + "'");
                if (!*value) return usage_error(std::string(name) + " needs a port");
                if (!parse_port(**value, pump ? o.pump_port : o.valve_port))
                    return usage_error("bad " + std::string(name) + " value '" +
                                       std::string(**value) + "' (COM1 to COM4 or a device path)");
            } else if (const auto value = option_value(args, i, "--time-scale")) {
                if (!*value) return usage_error("--time-scale needs a value");
                if (!parse_scale(**value, o.time_scale))
                    return usage_error("bad --time-scale value '" + std::string(**value) + "'");
                have_scale = true;
            } else {
                return usage_error("unknown option '" + std::string(arg) + "'");
            }
        } else if (!have_method) {
            o.method_path = std::string(arg);
            have_method = true;
        } else {
            return usage_error("only one method file can be run");
        }
    }
    if (!have_method) return usage_error("no method file named");
    if (o.method_path.empty()) return usage_error("the method file's name is empty");
    // Real devices keep their own pace; a scale there would be silently ignored.
    if (have_scale && !o.simulate) return usage_error("--time-scale needs --simulate");
    // The simulated devices are COM1 and COM2 of their own.
    if (o.simulate && (o.pump_port.given() || o.valve_port.given()))
        return usage_error("--simulate takes no --pump-port or --valve-port");
    if (o.list && (o.control || !o.log_file.empty()))
        return usage_error("--list runs nothing, so it takes no --control or --log");
    p.outcome = ParseOutcome::Run;
    return p;
}

}  // namespace quorvel::run
