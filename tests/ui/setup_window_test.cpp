// The Setup window: what Apply takes over and sends, changing ports while the program runs,
// and moving to another pump controller on the simulated devices.

#include "pumpsetup/setup_window.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include "../support/fake_ports.h"
#include "comm/pump_init.h"
#include "sim_device.h"
#include "ui_fixture.h"

namespace quorvel::uitest {
namespace {

// Every message as "<owner> caption: text / detail".
struct OwnedMessages final : MessagePresenter {
    void message(QWidget* owner, const QString& text, const QString& caption,
                 const QString& detail) override {
        const QString who = dynamic_cast<MainWindow*>(owner) ? "main " : "setup ";
        shown << who + caption + ": " + text + (detail.isEmpty() ? "" : " / " + detail);
    }
    Answer question(QWidget*, const QString&, const QString&) override { return Answer::Cancel; }
    QStringList shown;
};

// A main window never started up (no thread) over fake COM1..COM4, the pump and the valve
// on the given ports (0: none), and the Setup window open.
struct SetupFixture {
    explicit SetupFixture(int pump_port = 1, int valve_port = 2) {
        app.session.open_port(DeviceRole::Pump, pump_port);
        app.session.open_port(DeviceRole::Valve, valve_port);
        sys.update_config([&](PumpSettings& s, PumpCalibration&) {
            s.com_pump = pump_port;
            s.com_valve = valve_port;
        });
        timeline.clear();
        main.command(cmd::Setup);
        window = dynamic_cast<SetupWindow*>(app.windows.widget(WindowId::Setup));
    }
    template <class C = QWidget>
    C* control(int id) const {
        return window->findChild<C*>(control_name(id));
    }
    void type(int id, const QString& text) { control<QLineEdit>(id)->setText(text); }
    void apply() {
        QTest::mouseClick(control<QPushButton>(setup_ctl::Apply), Qt::LeftButton);
        UiFixture::settle();
    }
    QStringList take_pump_queue() {
        QStringList out;
        while (auto line = sys.comm.pump.queue.pop()) out << QString::fromStdString(*line);
        return out;
    }

    testing::Timeline timeline;
    testing::FakePortProvider ports{timeline};
    OwnedMessages presenter;
    AppServices app{presenter, &ports};
    System& sys = app.sys;
    MainWindow main{app.ctx};
    SetupWindow* window = nullptr;
};

QStringList lines(const char* munit, const char* ble, const char* blsh) {
    return {"MSEL=256.00000000", munit, ble, blsh, "SAVE"};
}
const QStringList kExample = lines("MUNIT=2432.00000000", "BLE=1.00000000", "BLSH=0.50000000");
const QStringList kUnchanged = lines("MUNIT=2432.00000000", "BLE=0.00000000", "BLSH=1.00000000");

QStringList one(const QString& message) {
    return message.isEmpty() ? QStringList() : QStringList{message};
}

}  // namespace

class SetupWindowTest : public QObject {
    Q_OBJECT

  private slots:
    // The character test, then half to one and a half times the size's nominal value.
    void measuredValue_data() {
        QTest::addColumn<int>("size");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("message");
        QTest::addColumn<float>("stored");
        const QString range = "setup Error: uL/rev. value is out of range";
        const float kept[] = {4.009f, 100.55f, 628.436f, 750.046f};
        const char* ends[4][4] = {{"2", "6", "1.99", "6.01"},
                                  {"50", "150", "49.9", "150.5"},
                                  {"314", "942", "313.9", "942.1"},
                                  {"375", "1125", "374.9", "1125.1"}};
        for (int size = 0; size < 4; ++size) {
            for (int i = 0; i < 4; ++i) {
                const char* t = ends[size][i];
                QTest::addRow("%d: %s", size, t) << size << t << (i < 2 ? QString() : range)
                                                 << (i < 2 ? QString(t).toFloat() : kept[size]);
            }
        }
        for (const char* text : {"1,5", "abc", "-3", " 120"})
            QTest::addRow("'%s'", text)
                << 1 << text << "setup fyi: Invalid ul/revolution value" << kept[1];
        QTest::newRow("empty reads as 0") << 1 << "" << range << kept[1];
    }
    void measuredValue() {
        QFETCH(int, size);
        QFETCH(QString, typed);
        QFETCH(float, stored);
        SetupFixture f;
        f.control<QComboBox>(setup_ctl::PumpSize)->setCurrentIndex(size);
        f.control<QCheckBox>(setup_ctl::UseMeasured)->click();
        f.type(setup_ctl::UlPerRev, typed);
        f.apply();
        QFETCH(QString, message);
        QCOMPARE(f.presenter.shown, one(message));
        QCOMPARE(f.sys.settings().pump_ul[size], stored);
        QCOMPARE(f.control<QLineEdit>(setup_ctl::UlPerRev)->text(),
                 QString::number(stored, 'f', 4));
        QCOMPARE(f.take_pump_queue().size(), 5);  // a refusal does not end Apply
    }

    // What one Apply queues for the controller (gearbox KR-TVN1, size "100").
    void appliedLines_data() {
        QTest::addColumn<bool>("measured");
        QTest::addColumn<QString>("ul_per_rev");
        QTest::addColumn<bool>("backlash_on");
        QTest::addColumn<QString>("backlash");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QStringList>("queued");
        const QString none;
        QTest::newRow("nominal") << false << "100" << true << "0.5" << none << kExample;
        QTest::newRow("unchecked: not read") << false << "abc" << true << "0.5" << none << kExample;
        QTest::newRow("measured 120")
            << true << "120" << false << "0.5" << none
            << lines("MUNIT=2026.66666667", "BLE=0.00000000", "BLSH=0.50000000");
        QTest::newRow("negative backlash") << false << none << false << "-1"
                                           << "setup fyi: Invalid backlash value" << kUnchanged;
        QTest::newRow("empty backlash")
            << false << none << false << none << none
            << lines("MUNIT=2432.00000000", "BLE=0.00000000", "BLSH=0.00000000");
    }
    void appliedLines() {
        QFETCH(bool, measured);
        QFETCH(QString, ul_per_rev);
        QFETCH(bool, backlash_on);
        QFETCH(QString, backlash);
        QFETCH(QString, message);
        SetupFixture f;
        if (measured) f.control<QCheckBox>(setup_ctl::UseMeasured)->click();
        f.type(setup_ctl::UlPerRev, ul_per_rev);
        f.control<QCheckBox>(setup_ctl::BacklashEnable)->setChecked(backlash_on);
        f.type(setup_ctl::BacklashAmount, backlash);
        f.apply();
        QTEST(f.take_pump_queue(), "queued");
        QCOMPARE(f.presenter.shown, one(message));
        // A refused amount shows the one kept.
        if (!message.isEmpty())
            QCOMPARE(f.control<QLineEdit>(setup_ctl::BacklashAmount)->text(), "1.00000000");
    }

    // "after": the checked port buttons, com_pump, com_valve, and whether the Init window
    // opened (the initialisation started).
    void portChanges_data() {
        QTest::addColumn<int>("pump_before");
        QTest::addColumn<int>("pump_button");
        QTest::addColumn<int>("valve_button");
        QTest::addColumn<int>("failing");  // a port that refuses to open
        QTest::addColumn<QString>("events");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("after");
        const QString none, denied = " / /dev/fake%1: Permission denied";
        QTest::newRow("same ports") << 1 << 1001 << 1102 << 0 << none << none << "1001 1102 1 2 0";
        QTest::newRow("pump to None")
            << 1 << 1000 << 1102 << 0 << "COM1 closed" << none << "1000 1102 0 2 0";
        QTest::newRow("pump moved")
            << 1 << 1003 << 1102 << 0 << "COM1 closed, COM3 opened" << none << "1003 1102 3 2 1";
        QTest::newRow("pump's first port")
            << 0 << 1003 << 1102 << 0 << "COM3 opened" << none << "1003 1102 3 2 1";
        QTest::newRow("pump port refuses")
            << 1 << 1003 << 1102 << 3 << "COM1 closed, COM3 refused"
            << "main : Cannot open pump port." + denied.arg(3) << "1102 0 2 0";
        QTest::newRow("valve port refuses")
            << 1 << 1001 << 1104 << 4 << "COM2 closed, COM4 refused"
            << "main : Cannot open valve port." + denied.arg(4) << "1001 1 0 0";
        // Ports open exclusively: both old ones go before either new one opens.
        QTest::newRow("pump and valve trade ports")
            << 1 << 1002 << 1101 << 0 << "COM1 closed, COM2 closed, COM2 opened, COM1 opened"
            << none << "1002 1101 2 1 1";
    }
    void portChanges() {
        QFETCH(int, pump_before);
        QFETCH(int, failing);
        QFETCH(int, pump_button);
        QFETCH(int, valve_button);
        SetupFixture f(pump_before);
        if (failing != 0) f.ports.fail(failing, "Permission denied");
        f.control<QRadioButton>(pump_button)->click();
        f.control<QRadioButton>(valve_button)->click();
        f.apply();
        QStringList events, after;
        for (const std::string& e : f.timeline.events()) events << QString::fromStdString(e);
        QTEST(events.join(", "), "events");
        QFETCH(QString, message);
        QCOMPARE(f.presenter.shown, one(message));
        for (const int none : {1000, 1100}) {
            for (int id = none; id <= none + 4; ++id)
                if (f.control<QRadioButton>(id)->isChecked()) after << QString::number(id);
        }
        const PumpSettings s = f.sys.settings();
        after << QString::number(s.com_pump) << QString::number(s.com_valve)
              << QString::number(f.app.windows.is_open(WindowId::Init));
        QTEST(after.join(' '), "after");
        QCOMPARE(f.sys.comm.pump.has_port.load(), s.com_pump != 0);
        QCOMPARE(f.sys.comm.valve.has_port.load(), s.com_valve != 0);
        // Without a pump port the lines are dropped.
        QCOMPARE(f.take_pump_queue(), s.com_pump != 0 ? kUnchanged : QStringList());
    }

    // A reply from the controller, through the communication thread, replaces an edit.
    void backlashReadOverwritesAnEdit() {
        SetupFixture f;
        f.type(setup_ctl::BacklashAmount, "7.5");
        f.ports.last(1)->feed("ble=1\rblsh=0.25\r");
        comm_thread_pass(f.sys, 1000);
        UiFixture::settle();
        QVERIFY(f.control<QCheckBox>(setup_ctl::BacklashEnable)->isChecked());
        QCOMPARE(f.control<QLineEdit>(setup_ctl::BacklashAmount)->text(), "0.25000000");
    }

    // The real windows and thread with simulated devices: Apply moves the program from the
    // pump controller on COM1 to another on COM3.
    void applyMovesToAnotherPump() {
        sim::SimPump first(0.05), second(0.05);
        sim::SimValve valve(0.05);
        QVERIFY(first.start() && second.start() && valve.start());
        QTemporaryDir dir;
        const QString previous = QDir::currentPath();
        QDir::setCurrent(dir.path());
        QFile setup(dir.filePath("setup.txt"));
        QVERIFY(setup.open(QIODevice::WriteOnly));
        setup.write("com_pump=1\r\ncom_valve=2\r\npump=1\r\ngearbox=0\r\n");
        setup.close();
        DevicePortProvider ports(
            {first.device_path(), valve.device_path(), second.device_path(), ""});
        RecordingPresenter presenter;
        AppServices app(presenter, &ports);
        std::vector<std::string> expected;
        for (const QString& line : kExample) expected.push_back(line.toStdString());
        for (const InitScript script :
             {InitScript(backlash_query_script), InitScript(controller_setup_script)}) {
            for (const std::string_view line : script)
                if (line != "stop") expected.emplace_back(line);
        }
        expected.insert(expected.end(), {"MSEL=256.00000000", "MUNIT=2432.00000000"});
        {
            MainWindow main(app.ctx);
            main.start_up();
            // Up to the calibration that ends the start-up's initialisation.
            auto last = [&first] {
                const auto lines = first.received_lines();
                return lines.empty() ? std::string() : lines.back();
            };
            QTRY_COMPARE_WITH_TIMEOUT(last(), expected.back(), 30000);
            QTRY_VERIFY_WITH_TIMEOUT(!app.windows.is_open(WindowId::Init), 30000);
            first.clear_received();
            main.command(cmd::Setup);
            auto* w = dynamic_cast<SetupWindow*>(app.windows.widget(WindowId::Setup));
            QVERIFY(w);
            w->findChild<QRadioButton*>(control_name(1003))->click();
            w->findChild<QCheckBox*>(control_name(setup_ctl::BacklashEnable))->setChecked(true);
            w->findChild<QLineEdit*>(control_name(setup_ctl::BacklashAmount))->setText("0.5");
            w->command(setup_ctl::Apply);
            QTRY_COMPARE_WITH_TIMEOUT(second.received_lines(), expected, 30000);
            // The first controller heard nothing more, and its port was given back.
            QCOMPARE(first.received_bytes(), std::string());
            std::string reason;
            QVERIFY2(open_serial_device(first.device_path(), &reason), reason.c_str());
            main.close();
        }
        QVERIFY(setup.open(QIODevice::ReadOnly));
        QVERIFY(setup.readAll().startsWith("com_pump=3\r\ncom_valve=2\r\n"));
        QDir::setCurrent(previous);
        QCOMPARE(presenter.shown, QStringList());
    }
};

static const RegisterTestClass<SetupWindowTest> registered;

}  // namespace quorvel::uitest

#include "setup_window_test.moc"
