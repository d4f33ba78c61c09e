// Quorvel: sets up, tests and runs one motor-driven pump and one selector valve.
// Usage: quorvel [--simulate]

#include <signal.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "comm/serial_port.h"
#include "core/session.h"
#include "shell/app_services.h"
#include "shell/main_window.h"
#include "shell/message_presenter.h"
#include "shell/quorvel_application.h"
#include "shell/signal_watcher.h"
#include "shell/single_instance.h"
#include "simulated_ports.h"

int main(int argc, char** argv) {
    using namespace quorvel;
    bool simulate = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--simulate") == 0) {
            simulate = true;
        } else if (std::strcmp(argv[i], "--help") == 0) {
            std::puts(
                "usage: quorvel [--simulate]\n"
                "  --simulate  run against a simulated pump on COM1 and valve on COM2");
            return 0;
        }
    }

    QuorvelApplication app(argc, argv);
    QApplication::setApplicationName("quorvel");
    QApplication::setWindowIcon(QIcon(":/quorvel/picon.png"));

    SingleInstance instance;
    const InstanceResult instance_result = instance.acquire();
    if (!instance.problem().isEmpty())
        std::fprintf(stderr, "quorvel: %s\n", qUtf8Printable(instance.problem()));
    if (instance_result == InstanceResult::AnotherRuns) return 0;
    // Only a running copy may stop this start; without the lock the operator still gets a pump.
    if (instance_result == InstanceResult::Unguarded)
        DialogPresenter().message(nullptr, instance.problem(), "fyi", {});

    // A port or socket whose other end went away is reported by the call, not by a signal.
    ::signal(SIGPIPE, SIG_IGN);

    // What COM1..COM4 are is settled here, once, before anything opens a port.
    DevicePortProvider devices = DevicePortProvider::from_environment();
    PortProvider* ports = &devices;
    std::unique_ptr<sim::SimulatedPorts> simulated;
    SessionOptions session_options;
    StartupOptions options;
    if (simulate) {
        simulated = std::make_unique<sim::SimulatedPorts>(devices);
        std::string error;
        if (!simulated->start(&error)) {
            std::fprintf(stderr, "quorvel: cannot start the simulated devices: %s\n",
                         error.c_str());
            return 1;
        }
        ports = simulated.get();
        session_options.default_ports = true;
        options.simulation_note =
            "Simulated devices: the pump controller on COM1 and the valve actuator on COM2 are "
            "simulators, not hardware.";
    }

    DialogPresenter presenter;
    AppServices services(presenter, ports, session_options);
    // From here on, however the program ends, the pump hears the escape byte.
    guard_process_exit(services.session);
    app.route_enter_to_terminal(&services.windows, &services.bridge);

    MainWindow main_window(services.ctx, options);
    instance.on_raise_request([&main_window] {
        // Out of the task bar if minimised, but still maximised if it was.
        main_window.setWindowState((main_window.windowState() & ~Qt::WindowMinimized) |
                                   Qt::WindowActive);
        main_window.raise();
        main_window.activateWindow();
    });
    SignalWatcher signal_watcher([&main_window] {
        main_window.request_quit();
        main_window.close();
    });

    main_window.start_up();
    if (main_window.shut_down_done()) return 0;
    main_window.showMaximized();
    const int rc = QApplication::exec();
    main_window.shut_down();
    app.route_enter_to_terminal(nullptr, nullptr);
    return rc;
}
