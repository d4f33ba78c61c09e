// The program's start-up with its real communication thread against the simulators: the
// initialisation runs to its end, the Test window opens, and Dispense moves the pump with
// the Dispensing lamp lit until the move ends.

#include <QCheckBox>
#include <QDir>
#include <QLineEdit>
#include <QTest>
#include <cstdlib>

#include "ui/pump_test_window.h"
#include "ui/app_services.h"
#include "sim_device.h"
#include "ui_fixture.h"

namespace quorvel::uitest {

class SimulatedRunTest : public QObject {
    Q_OBJECT

  private slots:
    void startUpInitialisesThenDispenseLightsTheLampUntilTheMoveEnds() {
        sim::SimPump pump(0.05);
        sim::SimValve valve(0.05);
        QVERIFY(pump.start() && valve.start());
        const ScratchFolder dir;
        DevicePortProvider ports({pump.device_path(), valve.device_path(), "", ""});

        RecordingPresenter presenter;
        AppServices app(presenter, &ports, {.default_ports = true});
        System& sys = app.sys;
        WindowRegistry& windows = app.windows;
        {
            MainWindow main(app.ctx, {"simulated"});
            main.start_up();
            QVERIFY(windows.is_open(WindowId::First));
            QTRY_VERIFY_WITH_TIMEOUT(windows.is_open(WindowId::Init), 10000);
            QTRY_VERIFY_WITH_TIMEOUT(windows.is_open(WindowId::Test), 20000);
            QVERIFY(!windows.is_open(WindowId::Init));
            QVERIFY(pump.monitor_running());
            QVERIFY(presenter.shown.isEmpty());

            auto* test = dynamic_cast<TestWindow*>(windows.widget(WindowId::Test));
            QVERIFY(test);
            const QRect dispensing = test->lamps()[1];
            auto lamp_green = [&] {
                return test->grab().toImage().pixelColor(dispensing.center()) == QColor(0, 255, 0);
            };
            // 1 uL at the opening rate of 10 uL/min: 6 s of motion, 0.3 s in the simulator.
            test->findChild<QLineEdit*>(control_name(2008))->setText("1");
            test->findChild<QCheckBox*>(control_name(2010))->setChecked(true);
            test->command(2005);
            QTRY_VERIFY_WITH_TIMEOUT(pump.moves_started() == 1, 10000);
            QTRY_VERIFY_WITH_TIMEOUT(lamp_green(), 10000);
            QTRY_VERIFY_WITH_TIMEOUT(!pump.moving(), 10000);
            QTRY_VERIFY_WITH_TIMEOUT(!lamp_green(), 10000);
            QCOMPARE(sys.comm.activity.load(), PumpActivity::Ready);
            main.close();
        }
    }
};

static const RegisterTestClass<SimulatedRunTest> registered;

}  // namespace quorvel::uitest

#include "simulated_run_test.moc"
