// Opens every window of the program in a typical state and saves a picture of each, so
// that anyone can look at them; the build puts them into the operator's guide.
// Usage: window_gallery <output directory>

#include <QDir>
#include <QImage>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <iterator>
#include <memory>

#include "comm/comm_thread.h"
#include "comm/memory_port.h"
#include "method/method_runner.h"
#include "session/system.h"
#include "session/system_pass.h"
#include "ui/app_services.h"
#include "ui/main_window.h"
#include "ui/message_presenter.h"
#include "ui/method_window.h"
#include "ui/notification_bridge.h"
#include "ui/pump_test_window.h"
#include "ui/quorvel_application.h"
#include "ui/terminal_window.h"

namespace {

using namespace quorvel;

class SilentPresenter final : public MessagePresenter {
  public:
    void message(QWidget*, const QString&, const QString&, const QString&) override {}
    Answer question(QWidget*, const QString&, const QString&) override { return Answer::Cancel; }
};

// Delivers what the windows posted to each other, and what that posted in turn.
void settle() {
    for (int i = 0; i < 8; ++i) QCoreApplication::processEvents();
}

bool save(QWidget* w, const QString& dir, const QString& name) {
    settle();
    const QString path = dir + "/" + name + ".png";
    bool ok = false;
    if (w) {
        // The picture carries its density, so that a page shows it at the window's own size
        // whatever QT_SCALE_FACTOR rendered it at.
        const QPixmap pixmap = w->grab();
        QImage image = pixmap.toImage();
        const int dots_per_metre = qRound(pixmap.devicePixelRatio() * 96 / 0.0254);
        image.setDotsPerMeterX(dots_per_metre);
        image.setDotsPerMeterY(dots_per_metre);
        ok = image.save(path);
    }
    std::printf("%s %s\n", ok ? "wrote" : "FAILED", qPrintable(path));
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    QuorvelApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: window_gallery <output directory>\n");
        return 2;
    }
    const QString out = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(out);

    SilentPresenter presenter;
    AppServices services(presenter);
    System& sys = services.sys;
    WindowRegistry& windows = services.windows;
    NotificationBridge& bridge = services.bridge;
    replace_port(sys.comm.pump, std::make_unique<MemoryPort>());
    replace_port(sys.comm.valve, std::make_unique<MemoryPort>());
    sys.startup_directory = QDir::tempPath().toStdString();
    compute_calibration(sys.config, 0);

    MainWindow main_window(services.ctx,
                           {"Simulated devices: the pump controller on COM1 and the valve "
                            "actuator on COM2 are simulators, not hardware."});
    // Small enough for a page: the menu and the simulation bar are what there is to see.
    main_window.resize(820, 180);
    main_window.show();
    bool ok = save(&main_window, out, "main");

    main_window.open_first_window(Note::ShowNotice);
    ok &= save(windows.widget(WindowId::First), out, "first-notice");
    windows.widget(WindowId::First)->close();
    main_window.open_first_window(Note::ShowAbout);
    ok &= save(windows.widget(WindowId::First), out, "first-about");

    main_window.open_init_window();
    for (int i = 0; i < 10; ++i) bridge.deliver(WindowId::Init, Note::InitAdvance, 0);
    ok &= save(windows.widget(WindowId::Init), out, "init");

    main_window.open_error_window(ErrorSelector::PumpTimeout);
    ok &= save(windows.widget(WindowId::Error), out, "error-pump");
    windows.widget(WindowId::Error)->close();
    main_window.open_error_window(ErrorSelector::ValveTimeout);
    ok &= save(windows.widget(WindowId::Error), out, "error-valve");

    sys.comm.pump_moving = true;
    sys.comm.current_flow_ul_per_sec = 10.0;
    main_window.open_status_window();
    bridge.deliver(WindowId::Status, Note::PassDone, 0);
    ok &= save(windows.widget(WindowId::Status), out, "status");

    main_window.open_terminal_window();
    for (const char* line : {"ble=1", "blsh=1.5", "~", "|", ""}) sys.comm.terminal_log.append(line);
    bridge.deliver(WindowId::Terminal, Note::TerminalLines, 0);
    ok &= save(windows.widget(WindowId::Terminal), out, "terminal");

    // The Setup window over the two ports in use, with the backlash the controller reported.
    sys.update_config([](PumpSettings& s, PumpCalibration&) {
        s.com_pump = 1;
        s.com_valve = 2;
    });
    sys.comm.backlash_enabled = true;
    sys.comm.backlash_ul = 0.5;
    main_window.command(cmd::Setup);
    ok &= save(windows.widget(WindowId::Setup), out, "setup");
    windows.widget(WindowId::Setup)->close();
    // As a calibration leaves it: the measured value in force.
    sys.update_config([](PumpSettings& s, PumpCalibration&) {
        s.enable_pump_ul = 1;
        s.pump_ul[1] = 101.2f;
    });
    main_window.command(cmd::Setup);
    ok &= save(windows.widget(WindowId::Setup), out, "setup-measured");
    windows.widget(WindowId::Setup)->close();
    sys.update_config([](PumpSettings& s, PumpCalibration&) { s.enable_pump_ul = 0; });

    main_window.open_test_window();
    sys.comm.move_dispensing = true;
    sys.comm.move_washing = false;
    SystemPass pass(sys);
    for (int i = 0; i < 22; ++i) pass.run(1000 + 50 * i);
    bridge.deliver(WindowId::Test, Note::StatusLine, 0);
    ok &= save(windows.widget(WindowId::Test), out, "test-dispensing");
    sys.comm.pump_moving = false;
    pass.run(3000);
    ok &= save(windows.widget(WindowId::Test), out, "test-ready");

    // The Method window in place of the Test window, as Open leaves it: a method of pump
    // and valve rows, one of them waiting for Event, running its second row.
    windows.widget(WindowId::Test)->close();
    set_run_mode(sys, MethodRunMode::Idle);
    const MethodStep rows[] = {{"Aspirate", "250.0000", "100.00", "0", "false"},
                               {"Multi Valve", "3", "CW", "2", "false"},
                               {"Dispense", "125.5000", "50.00", "5", "true"},
                               {"2 Pos.Valve", "2", "Short", "0", "false"},
                               {"Wash", "500.0000", "400.00", "10", "false"},
                               {"Multi Valve", "1", "Short", "0", "true"}};
    std::copy(std::begin(rows), std::end(rows), sys.method_table.begin());
    sys.run.step_count = static_cast<int>(std::size(rows));
    sys.document.method_title = "wash-cycle.pmf";
    auto* method = new MethodWindow(services.ctx, &main_window);
    method->show();
    settle();
    method->command(method_ctl::Run);
    sys.run.current_step = 1;
    bridge.deliver(WindowId::Method, Note::MethodSelect, 1);
    sys.comm.activity = PumpActivity::Valve;
    bridge.deliver(WindowId::Method, Note::PassDone, 0);
    bridge.deliver(WindowId::Method, Note::StatusLine, 0);
    ok &= save(method, out, "method");

    // Edit mode, enlarged by the main window, showing the valve row.
    method->command(method_ctl::Reset);
    method->command(method_ctl::Edit);
    settle();
    method->command(method_ctl::Down);
    settle();
    ok &= save(method, out, "method-edit");

    main_window.shut_down();
    return ok ? 0 : 1;
}
