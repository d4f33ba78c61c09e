// The Setup window: what Apply takes over and sends, port changes while the program runs,
// and moving to another pump controller on the simulated devices.

#include "ui/setup_window.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <fstream>

#include "../support/fake_ports.h"
#include "comm/pump_init.h"
#include "sim_device.h"
#include "ui_fixture.h"

namespace quorvel::uitest {
namespace {

// Every message as "<owner> caption: text / detail", one per line.
struct OwnedMessages final : MessagePresenter {
    void message(QWidget* owner, const QString& text, const QString& caption,
                 const QString& detail) override {
        shown += QString(shown.isEmpty() ? "" : "\n") +
                 (dynamic_cast<MainWindow*>(owner) ? "main " : "setup ") + caption + ": " + text +
                 (detail.isEmpty() ? "" : " / " + detail);
    }
    Answer question(QWidget*, const QString&, const QString&) override { return Answer::Cancel; }
    QString shown;
};

// A main window never started up over fake COM1..COM4, the pump and the valve on the given
// ports (0: none; `failing` refuses to open, as a device that is absent), and the Setup
// window open.
struct SetupFixture {
    explicit SetupFixture(int pump_port = 1, int valve_port = 2, int failing = 0) {
        if (failing != 0) ports.fail(failing, "Permission denied");
        app.session.open_port(DeviceRole::Pump, pump_port);
        app.session.open_port(DeviceRole::Valve, valve_port);
        sys.update_config([&](PumpSettings& s, PumpCalibration&) {
            s.com_pump = pump_port;
            s.com_valve = valve_port;
        });
        timeline.clear();
        main.command(cmd::Setup);
    }
    template <class C>
    C* control(int id) const {
        return UiFixture::control<C>(app.windows.widget(WindowId::Setup), id);
    }
    // Clicks Apply; returns what it queued for the pump.
    QStringList apply() {
        QTest::mouseClick(control<QPushButton>(setup_ctl::Apply), Qt::LeftButton);
        UiFixture::settle();
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
};

QStringList lines(const char* munit, const char* ble, const char* blsh) {
    return {"MSEL=256.00000000", munit, ble, blsh, "SAVE"};
}
const QStringList kExample = lines("MUNIT=2432.00000000", "BLE=1.00000000", "BLSH=0.50000000");
const QStringList kUnchanged = lines("MUNIT=2432.00000000", "BLE=0.00000000", "BLSH=1.00000000");

const struct AppliedCase {
    const char *name, *ul_per_rev, *backlash, *message;
    bool measured, backlash_on;
    QStringList queued;
} kApplied[] = {
    {"unchecked: not read", "abc", "0.5", "", false, true, kExample},
    {"measured 120", "120", "0.5", "", true, false,
     lines("MUNIT=2026.66666667", "BLE=0.00000000", "BLSH=0.50000000")},
    {"negative backlash", "", "-1", "setup fyi: Invalid backlash value", false, false, kUnchanged},
    {"empty backlash", "", "", "", false, false,
     lines("MUNIT=2432.00000000", "BLE=0.00000000", "BLSH=0.00000000")},
};

// Ports chosen, then Apply: "events" on the fake ports and "after": the checked port
// buttons, com_pump, com_valve, and whether the initialisation started (its window opened).
const char* const kDenied = " / /dev/fake%1: Permission denied";
const struct PortCase {
    const char* name;
    // pump_button 0: the pump's buttons are left alone. failing: a port refusing to open,
    // from before the window opened.
    int pump_before, pump_button, valve_button, failing;
    QString events, message, after;
    QString configured;        // the ports setup.txt will name, pump and valve
    bool pump_moving = false;  // a Test window move is under way
} kPorts[] = {
    {"same ports", 1, 1001, 1102, 0, "", "", "1001 1102 1 2 0", "1 2"},
    // The old controller hears the escape byte before its port goes: it may be moving.
    {"pump to None", 1, 1000, 1102, 0, "COM1 \\e, COM1 closed", "", "1000 1102 0 2 0", "0 2"},
    {"pump moved", 1, 1003, 1102, 0, "COM1 \\e, COM1 closed, COM3 opened", "", "1003 1102 3 2 1",
     "3 2"},
    // A pump in motion keeps its port; the valve's change goes on.
    {"pump moving", 1, 1003, 1104, 0, "COM2 closed, COM4 opened",
     "setup fyi: The pump port cannot be changed while the pump moves. Please stop it first.",
     "1001 1104 1 4 0", "1 4", true},
    {"pump's first port", 0, 1003, 1102, 0, "COM3 opened", "", "1003 1102 3 2 1", "3 2"},
    // The port chosen is kept for the next start even though it did not open now.
    {"pump port refuses", 1, 1003, 1102, 3, "COM1 \\e, COM1 closed, COM3 refused",
     "main : Cannot open pump port." + QString(kDenied).arg(3), "1102 0 2 0", "3 2"},
    {"valve port refuses", 1, 1001, 1104, 4, "COM2 closed, COM4 refused",
     "main : Cannot open valve port." + QString(kDenied).arg(4), "1001 1 0 0", "1 4"},
    // Ports open exclusively: both old ones go before either new one opens.
    {"pump and valve trade ports", 1, 1002, 1101, 0,
     "COM1 \\e, COM1 closed, COM2 closed, COM2 opened, COM1 opened", "", "1002 1101 2 1 1", "2 1"},
    // A configured pump that was absent at start shows None; only None chosen forgets it.
    {"absent pump left alone", 3, 0, 1102, 3, "", "", "1000 1102 0 2 0", "3 2"},
    {"absent pump: None chosen", 3, 1000, 1102, 3, "", "", "1000 1102 0 2 0", "0 2"},
    {"absent pump: another port", 3, 1001, 1102, 3, "COM1 opened", "", "1001 1102 1 2 1", "1 2"},
};

}  // namespace

class SetupWindowTest : public QObject {
    Q_OBJECT

  private slots:
    // The character test, then half to one and a half times each size's nominal value.
    void measuredValue_data() {
        QTest::addColumn<int>("size");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("message");
        const char* ends[4][4] = {{"2", "6", "1.99", "6.01"},
                                  {"50", "150", "49.9", "150.5"},
                                  {"314", "942", "313.9", "942.1"},
                                  {"375", "1125", "374.9", "1125.1"}};
        const char* range = "setup Error: uL/rev. value is out of range";
        for (int size = 0; size < 4; ++size) {
            for (int i = 0; i < 4; ++i)
                QTest::addRow("%d: %s", size, ends[size][i])
                    << size << ends[size][i] << (i < 2 ? "" : range);
        }
        for (const char* text : {"1,5", "abc", "-3", " 120"})
            QTest::addRow("'%s'", text) << 1 << text << "setup fyi: Invalid ul/revolution value";
        QTest::newRow("empty reads as 0") << 1 << "" << range;
    }
    void measuredValue() {
        QFETCH(int, size);
        QFETCH(QString, typed);
        QFETCH(QString, message);
        SetupFixture f;
        const float before = f.sys.settings().pump_ul[size];
        f.control<QComboBox>(setup_ctl::PumpSize)->setCurrentIndex(size);
        f.control<QCheckBox>(setup_ctl::UseMeasured)->click();
        f.control<QLineEdit>(setup_ctl::UlPerRev)->setText(typed);
        QCOMPARE(f.apply().size(), 5);  // a refusal does not end Apply
        QCOMPARE(f.presenter.shown, message);
        // A refused value gives way to the one kept.
        const float stored = message.isEmpty() ? typed.toFloat() : before;
        QCOMPARE(f.sys.settings().pump_ul[size], stored);
        QCOMPARE(f.control<QLineEdit>(setup_ctl::UlPerRev)->text(),
                 QString::number(stored, 'f', 4));
    }

    // What one Apply queues for the controller (gearbox KR-TVN1, size "100").
    void appliedLines_data() {
        QTest::addColumn<int>("row");
        for (int i = 0; i < int(std::size(kApplied)); ++i) QTest::newRow(kApplied[i].name) << i;
    }
    void appliedLines() {
        QFETCH(int, row);
        const AppliedCase& k = kApplied[row];
        SetupFixture f;
        if (k.measured) f.control<QCheckBox>(setup_ctl::UseMeasured)->click();
        f.control<QLineEdit>(setup_ctl::UlPerRev)->setText(k.ul_per_rev);
        f.control<QCheckBox>(setup_ctl::BacklashEnable)->setChecked(k.backlash_on);
        f.control<QLineEdit>(setup_ctl::BacklashAmount)->setText(k.backlash);
        QCOMPARE(f.apply(), k.queued);
        QCOMPARE(f.presenter.shown, k.message);
        // A refused amount gives way to the one kept.
        QCOMPARE(f.control<QLineEdit>(setup_ctl::BacklashAmount)->text(),
                 *k.message ? "1.00000000" : k.backlash);
    }

    void portChanges_data() {
        QTest::addColumn<int>("row");
        for (int i = 0; i < int(std::size(kPorts)); ++i) QTest::newRow(kPorts[i].name) << i;
    }
    void portChanges() {
        QFETCH(int, row);
        const PortCase& k = kPorts[row];
        SetupFixture f(k.pump_before, 2, k.failing);
        f.sys.comm.pump_moving = k.pump_moving;
        if (k.pump_button != 0) f.control<QRadioButton>(k.pump_button)->click();
        f.control<QRadioButton>(k.valve_button)->click();
        const QStringList queued = f.apply();
        QStringList events, after;
        for (const std::string& e : f.timeline.events()) events << QString::fromStdString(e);
        QCOMPARE(events.join(", "), k.events);
        QCOMPARE(f.presenter.shown, k.message);
        for (const int none : {setup_ctl::PumpPortNone, setup_ctl::ValvePortNone}) {
            for (int id = none; id <= none + 4; ++id)
                if (f.control<QRadioButton>(id)->isChecked()) after << QString::number(id);
        }
        const PumpSettings s = f.sys.settings();
        after << QString::number(s.com_pump) << QString::number(s.com_valve)
              << QString::number(f.app.windows.is_open(WindowId::Init));
        QCOMPARE(after.join(' '), k.after);
        QCOMPARE(QString("%1 %2")
                     .arg(f.app.session.configured_port(DeviceRole::Pump))
                     .arg(f.app.session.configured_port(DeviceRole::Valve)),
                 k.configured);
        QCOMPARE(f.sys.comm.pump.has_port.load(), s.com_pump != 0);
        QCOMPARE(f.sys.comm.valve.has_port.load(), s.com_valve != 0);
        // Without a pump port the lines are dropped.
        QCOMPARE(queued, s.com_pump != 0 ? kUnchanged : QStringList());
    }

    // A reply from the controller, through the communication thread, replaces an edit.
    void backlashReadOverwritesAnEdit() {
        SetupFixture f;
        f.control<QLineEdit>(setup_ctl::BacklashAmount)->setText("7.5");
        f.ports.last(1)->feed("ble=1\rblsh=0.25\r");
        SystemPass(f.sys).run(1000);
        UiFixture::settle();
        QVERIFY(f.control<QCheckBox>(setup_ctl::BacklashEnable)->isChecked());
        QCOMPARE(f.control<QLineEdit>(setup_ctl::BacklashAmount)->text(), "0.25000000");
    }

    // Enter held on Apply applies once: X repeats a held key as a release and a press of one
    // moment, which reach the button flagged as a repeat or, when Qt cannot tell, not.
    void heldEnterAppliesOnce_data() {
        QTest::addColumn<bool>("flagged");
        QTest::addColumn<int>("gap_ms");  // from the release to the next press
        QTest::addColumn<int>("saves");
        QTest::newRow("repeat, flagged") << true << 0 << 1;
        QTest::newRow("repeat, not flagged") << false << 0 << 1;
        QTest::newRow("pressed again") << false << 120 << 2;
    }
    void heldEnterAppliesOnce() {
        QFETCH(bool, flagged);
        QFETCH(int, gap_ms);
        QFETCH(int, saves);
        SetupFixture f;
        auto* apply = f.control<QPushButton>(setup_ctl::Apply);
        auto key = [apply](QEvent::Type type, bool repeat, quint64 t) {
            QKeyEvent e(type, Qt::Key_Return, Qt::NoModifier, "\r", repeat);
            e.setTimestamp(t);
            QApplication::sendEvent(apply, &e);
        };
        key(QEvent::KeyPress, false, 1000);
        key(QEvent::KeyRelease, flagged, 1500);
        key(QEvent::KeyPress, flagged, 1500 + gap_ms);
        UiFixture::settle();
        int saved = 0;
        while (auto line = f.sys.comm.pump.queue.pop()) saved += *line == "SAVE";
        QCOMPARE(saved, saves);
    }

    // The real windows and thread: Apply moves from the controller on COM1 to one on COM3,
    // which hears the Apply and then the whole initialisation; COM1 is given back.
    void applyMovesToAnotherPump() {
        sim::SimPump first(0.05), second(0.05);
        sim::SimValve valve(0.05);
        QVERIFY(first.start() && second.start() && valve.start());
        const ScratchFolder dir;
        std::ofstream("setup.txt", std::ios::binary) << "com_pump=1\r\ncom_valve=2\r\npump=1\r\n";
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
            QTRY_VERIFY_WITH_TIMEOUT(!app.windows.is_open(WindowId::Init) &&
                                         !first.received_lines().empty() &&
                                         first.received_lines().back() == expected.back(),
                                     30000);
            first.clear_received();
            main.command(cmd::Setup);
            QWidget* w = app.windows.widget(WindowId::Setup);
            UiFixture::control<QRadioButton>(w, 1003)->click();
            UiFixture::control<QCheckBox>(w, setup_ctl::BacklashEnable)->setChecked(true);
            UiFixture::control<QLineEdit>(w, setup_ctl::BacklashAmount)->setText("0.5");
            UiFixture::control<QPushButton>(w, setup_ctl::Apply)->click();
            QTRY_COMPARE_WITH_TIMEOUT(second.received_lines(), expected, 30000);
            QCOMPARE(first.received_bytes(), std::string("\x1b"));
            std::string reason;
            QVERIFY2(open_serial_device(first.device_path(), &reason), reason.c_str());
            main.close();
        }
        std::ifstream saved("setup.txt", std::ios::binary);
        QVERIFY(std::string(std::istreambuf_iterator<char>(saved), {})
                    .starts_with("com_pump=3\r\ncom_valve=2\r\n"));
        QCOMPARE(presenter.shown, QStringList());
    }
};

static const RegisterTestClass<SetupWindowTest> registered;

}  // namespace quorvel::uitest

#include "setup_window_test.moc"
