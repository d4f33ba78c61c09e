// Quorvel: sets up, tests and runs one motor-driven pump and one selector valve.
// Usage: quorvel [--simulate] [METHOD.pmf]

#include <signal.h>

#include <QFile>
#include <QFileInfo>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "app/display_check.h"
#include "app/signal_watcher.h"
#include "app/single_instance.h"
#include "comm/serial_port.h"
#include "common/state_folder.h"
#include "session/process_guard.h"
#include "session/session.h"
#include "simulated_ports.h"
#include "ui/app_services.h"
#include "ui/main_window.h"
#include "ui/message_presenter.h"
#include "ui/quorvel_application.h"

namespace quorvel {
namespace {

constexpr const char* kUsage =
    "usage: quorvel [--simulate] [METHOD.pmf]\n"
    "  --simulate  run against a simulated pump on COM1 and valve on COM2\n"
    "  METHOD.pmf  open this method file (in the copy already running, if there is one)\n"
    "  --          the options end here (for a file name that begins with -)\n"
    "  --help      show this text\n"
    "  --version   show the version\n";

// What the command line asks for.
struct Arguments {
    bool simulate = false;
    std::string method_file;
};

// The exit code when the command line ends the program here: help, version or a mistake.
std::optional<int> parse_arguments(int argc, char** argv, Arguments& args) {
    bool options_done = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const bool option = !options_done && arg.starts_with("-") && arg != "-";
        if (!option) {
            if (!args.method_file.empty()) {
                std::fprintf(stderr, "quorvel: only one method file can be opened\n%s", kUsage);
                return 2;
            }
            args.method_file = argv[i];
        } else if (arg == "--") {
            options_done = true;  // a method file whose name begins with "-" follows
        } else if (arg == "--simulate") {
            args.simulate = true;
        } else if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--version") {
            std::puts("quorvel " QUORVEL_VERSION);
            return 0;
        } else {
            std::fprintf(stderr, "quorvel: unknown option '%s'\n%s", argv[i], kUsage);
            return 2;
        }
    }
    return std::nullopt;
}

// False when another copy runs and has been handed the request.
bool claim_instance(SingleInstance& instance, const QString& method_path) {
    const InstanceResult instance_result = instance.acquire(
        method_path.isEmpty() ? QByteArray("raise") : "open " + QFile::encodeName(method_path));
    if (!instance.problem().isEmpty())
        std::fprintf(stderr, "quorvel: %s\n", qUtf8Printable(instance.problem()));
    if (instance_result == InstanceResult::AnotherRuns) return false;
    // Only a running copy may stop this start; without the lock the operator still gets a pump.
    if (instance_result == InstanceResult::Unguarded)
        DialogPresenter().message(nullptr, instance.problem(), "fyi", {});
    return true;
}

// What COM1..COM4 are, with the options that go with it. Not movable: the simulators keep
// a reference to the devices.
struct Ports {
    DevicePortProvider devices = DevicePortProvider::from_environment();
    std::unique_ptr<sim::SimulatedPorts> simulated;
    PortProvider* provider = &devices;
    SessionOptions session_options;
    StartupOptions options;

    Ports() = default;
    Ports(const Ports&) = delete;
    Ports& operator=(const Ports&) = delete;
};

// COM1 and COM2 become the simulated pump and valve; false when they cannot be started.
bool start_simulators(Ports& ports) {
    ports.simulated = std::make_unique<sim::SimulatedPorts>(ports.devices);
    std::string error;
    if (!ports.simulated->start(&error)) {
        std::fprintf(stderr, "quorvel: cannot start the simulated devices: %s\n", error.c_str());
        return false;
    }
    ports.provider = ports.simulated.get();
    ports.session_options.default_ports = true;
    ports.options.simulation_note =
        "Simulated devices: the pump controller on COM1 and the valve actuator on COM2 are "
        "simulators, not hardware.";
    return true;
}

// The session and the windows, from start-up to shutdown; the program's exit code.
int run_windows(QuorvelApplication& app, SingleInstance& instance, const Ports& ports,
                const QString& method_path) {
    DialogPresenter presenter;
    AppServices services(presenter, ports.provider, ports.session_options);
    // From here on, however the program ends, the pump hears the escape byte.
    guard_process_exit(services.session);
    app.route_enter_to_terminal(&services.windows, &services.bridge);

    MainWindow main_window(services.ctx, ports.options);
    auto to_front = [&main_window] {
        // Out of the task bar if minimised, but still maximised if it was.
        main_window.setWindowState((main_window.windowState() & ~Qt::WindowMinimized) |
                                   Qt::WindowActive);
        main_window.raise();
        main_window.activateWindow();
    };
    instance.on_raise_request(to_front);
    instance.on_request([&main_window, to_front](const QByteArray& line) {
        if (!line.startsWith("open ")) return;
        to_front();
        main_window.open_named_method(QFile::decodeName(line.mid(5)));
    });
    SignalWatcher signal_watcher([&main_window] {
        main_window.request_quit();
        main_window.close();
    });

    main_window.start_up();
    if (main_window.shut_down_done()) return 0;
    if (!method_path.isEmpty()) main_window.open_named_method_after_start_up(method_path);
    main_window.showMaximized();
    const int rc = QApplication::exec();
    main_window.shut_down();
    app.route_enter_to_terminal(nullptr, nullptr);
    return rc;
}

}  // namespace
}  // namespace quorvel

int main(int argc, char** argv) {
    using namespace quorvel;
    Arguments args;
    if (const std::optional<int> rc = parse_arguments(argc, argv, args)) return *rc;
    // Without a display the toolkit would abort with a message of its own.
    if (const std::string why = display_problem(); !why.empty()) {
        std::fprintf(stderr,
                     "quorvel: cannot open the display: %s\n"
                     "To run a method without windows, use quorvel-run (see quorvel-run --help).\n",
                     why.c_str());
        return 1;
    }

    QuorvelApplication app(argc, argv);
    QApplication::setApplicationName("quorvel");
    QApplication::setWindowIcon(QIcon(":/quorvel/picon.png"));

    // The running copy may have another working folder: it is handed the whole path.
    const QString method_path =
        args.method_file.empty()
            ? QString()
            : QFileInfo(QString::fromLocal8Bit(args.method_file)).absoluteFilePath();
    SingleInstance instance;
    if (!claim_instance(instance, method_path)) return 0;

    // A port or socket whose other end went away is reported by the call, not by a signal.
    ::signal(SIGPIPE, SIG_IGN);

    // What COM1..COM4 are is settled here, once, before anything opens a port.
    Ports ports;
    if (args.simulate && !start_simulators(ports)) return 1;
    ports.session_options.state_folder = state_folder();
    ports.session_options.record_runs = true;
    ports.session_options.version = QUORVEL_VERSION;
    return run_windows(app, instance, ports, method_path);
}
