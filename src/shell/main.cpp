// Quorvel: sets up, tests and runs one motor-driven pump and one selector valve.
// Usage: quorvel [--simulate]

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "shell/app_services.h"
#include "shell/main_window.h"
#include "shell/message_presenter.h"
#include "shell/notification_bridge.h"
#include "shell/quorvel_application.h"
#include "shell/signal_watcher.h"
#include "shell/single_instance.h"
#include "shell/system.h"
#include "sim_device.h"

namespace {

struct Simulators {
    quorvel::sim::SimPump pump{1.0};
    quorvel::sim::SimValve valve{1.0};
};

}  // namespace

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
    if (!instance.acquire()) return 0;

    std::unique_ptr<Simulators> sims;
    StartupOptions options;
    if (simulate) {
        sims = std::make_unique<Simulators>();
        std::string error;
        if (!sims->pump.start(&error) || !sims->valve.start(&error)) {
            std::fprintf(stderr, "quorvel: cannot start the simulated devices: %s\n",
                         error.c_str());
            return 1;
        }
        ::setenv("QUORVEL_COM1", sims->pump.device_path().c_str(), 1);
        ::setenv("QUORVEL_COM2", sims->valve.device_path().c_str(), 1);
        options.default_ports = true;
        options.simulation_note =
            "Simulated devices: the pump controller on COM1 and the valve actuator on COM2 are "
            "simulators, not hardware.";
    }

    DialogPresenter presenter;
    AppServices services(presenter);
    app.route_enter_to_terminal(&services.windows, &services.bridge);

    MainWindow main_window(services.ctx, options);
    instance.on_raise_request([&main_window] {
        main_window.showNormal();
        main_window.raise();
        main_window.activateWindow();
    });
    SignalWatcher signal_watcher([&main_window] {
        main_window.request_quit();
        main_window.close();
    });

    main_window.start_up();
    if (main_window.shut_down_done()) return 0;
    main_window.show();
    const int rc = QApplication::exec();
    main_window.shut_down();
    app.route_enter_to_terminal(nullptr, nullptr);
    return rc;
}
