// The method commands of the menu (New, Open, Save, Save as), the Method window's heights,
// a method named on the command line, and a method run against the simulated devices.

#include <QAbstractButton>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <chrono>

#include "comm/serial_port.h"
#include "sim_device.h"
#include "ui_fixture.h"

namespace quorvel::uitest {
namespace {

const QByteArray kHeader = ";...Tamsel pump method file...Do not edit!...\r\n";
const QByteArray kThreeSteps = kHeader +
                               "Aspirate|100.0000|50.00|2|false\r\n"
                               "Multi Valve|3|CW|0|false\r\n"
                               "Dispense|100.0000|100.00|0|true\r\n";

void write_file(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

QByteArray read_file(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QuorvelDialog* method_window(const UiFixture& f) {
    return f.window<QuorvelDialog>(WindowId::Method);
}

}  // namespace

class MethodCommandsTest : public QObject {
    Q_OBJECT

  private slots:
    void openAndNew_data() {
        QTest::addColumn<int>("id");
        QTest::addColumn<QString>("before");     // "test" window open, "init" running
        QTest::addColumn<QByteArray>("file");    // what the chosen file holds; empty: cancelled
        QTest::addColumn<QStringList>("shown");  // messages
        QTest::addColumn<bool>("asked");         // whether the file dialog came up
        QTest::addColumn<int>("mode");           // the run mode afterwards; None: no window
        QTest::addColumn<int>("steps");
        const auto none = static_cast<int>(MethodRunMode::None);
        const auto idle = static_cast<int>(MethodRunMode::Idle);
        QTest::newRow("Open with the Test window open")
            << cmd::Open << "test" << kThreeSteps << fyi("Please close the Test window.") << false
            << none << 0;
        QTest::newRow("Open while initialising")
            << cmd::Open << "init" << kThreeSteps << QStringList{} << false << none << 0;
        QTest::newRow("Open cancelled")
            << cmd::Open << "" << QByteArray() << QStringList{} << true << idle << 0;
        QTest::newRow("Open a method")
            << cmd::Open << "" << kThreeSteps << QStringList{} << true << idle << 3;
        QTest::newRow("Open a file without steps")
            << cmd::Open << "" << kHeader << fyi("There was a problem with this file") << true
            << idle << 0;
        QTest::newRow("New") << cmd::New << "" << QByteArray() << QStringList{} << false
                             << static_cast<int>(MethodRunMode::Editing) << 99;
    }
    void openAndNew() {
        QFETCH(int, id);
        QFETCH(QString, before);
        QFETCH(QByteArray, file);
        QFETCH(QStringList, shown);
        QFETCH(bool, asked);
        QFETCH(int, mode);
        QFETCH(int, steps);
        UiFixture f;
        if (before == "test") f.main->open_test_window();
        if (before == "init") f.sys.comm.init_stage = InitStage::BacklashQuery;
        const QString path = f.dir.filePath("three.pmf");
        if (!file.isEmpty()) {
            write_file(path, file);
            f.dialog_answers << path;
        }
        f.take_pump_queue();

        f.main->command(id);
        f.settle();
        QCOMPARE(f.presenter.shown, shown);
        QCOMPARE(f.dialogs_asked, asked ? QStringList{"open"} : QStringList{});
        QCOMPARE(static_cast<int>(f.sys.run.mode.load()), mode);
        QCOMPARE(f.open(WindowId::Method),
                 mode != static_cast<int>(MethodRunMode::None) && (id == cmd::New || steps > 0));
        QCOMPARE(f.sys.run.step_count.load(), steps);
        // Whatever the dialog's answer, the run was reset and the pump stopped before it.
        QCOMPARE(f.take_pump_queue().contains("SSTP"), asked || id == cmd::New);
        if (steps == 3) {
            QCOMPARE(f.sys.document.method_title, std::string("three.pmf"));
            QCOMPARE(method_window(f)->windowTitle(), QString("three.pmf"));
        }
    }

    // Save and Save as: where the method goes, what the operator is told, and when the
    // window closes.
    void saves_data() {
        QTest::addColumn<int>("id");
        QTest::addColumn<QString>("setup");    // "editing", "new", "close after", "cannot write"
        QTest::addColumn<QString>("answer");   // the save dialog's answer, relative to the folder
        QTest::addColumn<QString>("written");  // the file written, relative; empty: none
        QTest::addColumn<QString>("shown");    // the start of the message shown, if any
        QTest::addColumn<QString>("title");
        QTest::addColumn<bool>("open_after");
        QTest::newRow("Save while editing") << cmd::Save << "editing"
                                            << ""
                                            << ""
                                            << "fyi: Please exit Edit mode before saving"
                                            << "three.pmf" << true;
        QTest::newRow("Save as while editing") << cmd::SaveAs << "editing"
                                               << ""
                                               << ""
                                               << "fyi: Please exit Edit mode before saving"
                                               << "three.pmf" << true;
        QTest::newRow("Save keeps the file") << cmd::Save << ""
                                             << ""
                                             << "three.pmf"
                                             << ""
                                             << "three.pmf" << true;
        QTest::newRow("Save of a new method asks for a name") << cmd::Save << "new"
                                                              << "run.2.txt"
                                                              << "run.pmf"
                                                              << ""
                                                              << "run.2.txt" << true;
        QTest::newRow("Save as, a full stop in a folder's name") << cmd::SaveAs << ""
                                                                 << "v1.2/run"
                                                                 << "v1.2/run.pmf"
                                                                 << ""
                                                                 << "run" << true;
        QTest::newRow("Save as cancelled") << cmd::SaveAs << ""
                                           << ""
                                           << ""
                                           << ""
                                           << "three.pmf" << true;
        QTest::newRow("Save, then the window closes") << cmd::Save << "close after"
                                                      << ""
                                                      << "three.pmf"
                                                      << ""
                                                      << "three.pmf" << false;
        QTest::newRow("a failed save is reported and closes nothing")
            << cmd::SaveAs << "close after"
            << "taken"
            << ""
            << "Error: The method could not be saved to "
            << "three.pmf" << true;
    }
    void saves() {
        QFETCH(int, id);
        QFETCH(QString, setup);
        QFETCH(QString, answer);
        QFETCH(QString, written);
        QFETCH(QString, shown);
        QFETCH(QString, title);
        QFETCH(bool, open_after);
        UiFixture f;
        QDir folder(f.dir.path());
        QVERIFY(folder.mkpath("v1.2") && folder.mkpath("taken.pmf"));  // nothing replaces a folder
        const QString original = folder.filePath("three.pmf");
        write_file(original, kThreeSteps);
        if (setup != "new") f.dialog_answers << original;
        f.main->command(setup == "new" ? cmd::New : cmd::Open);
        f.settle();
        QuorvelDialog* m = method_window(f);
        QVERIFY(m);
        if (setup == "new") {
            // End Edit with nothing entered: a method of no steps, still never saved.
            m->command(4100);
            f.settle();
        } else {
            QFile::remove(original);  // so a save shows by the file coming back
        }
        if (setup == "editing") {
            m->command(4008);
            f.settle();
        }
        f.sys.document.method_modified = true;
        f.sys.document.close_after_save = setup == "close after";
        f.dialogs_asked.clear();
        if (!answer.isEmpty()) f.dialog_answers << folder.filePath(answer);

        f.main->command(id);
        f.settle();
        if (written.isEmpty()) {
            QVERIFY(!QFile::exists(original) && !QFile::exists(folder.filePath("run.pmf")));
        } else {
            QCOMPARE(read_file(folder.filePath(written)), setup == "new" ? kHeader : kThreeSteps);
            QCOMPARE(f.sys.document.method_path, folder.filePath(written).toStdString());
            QVERIFY(!f.sys.document.method_modified);
        }
        QCOMPARE(f.presenter.shown.size(), shown.isEmpty() ? 0 : 1);
        if (!shown.isEmpty())
            QVERIFY2(f.presenter.shown[0].startsWith(shown), qPrintable(f.presenter.shown[0]));
        if (!shown.isEmpty() && !shown.startsWith("fyi")) QVERIFY(f.sys.document.method_modified);
        QCOMPARE(QString::fromStdString(f.sys.document.method_title), title);
        QCOMPARE(f.open(WindowId::Method), open_after);
        if (open_after && written == "run.pmf") QCOMPARE(m->windowTitle(), title);
    }

    // The Method window is enlarged for editing and given back its height after, in place.
    void heights() {
        UiFixture f;
        const QString path = f.dir.filePath("three.pmf");
        write_file(path, kThreeSteps);
        f.dialog_answers << path;
        f.main->command(cmd::Open);
        f.settle();
        QuorvelDialog* m = method_window(f);
        QVERIFY(m);
        const QRect normal = m->frameGeometry();
        QCOMPARE(f.main->method_normal_height(), normal.height());
        QCOMPARE(f.main->method_expanded_height(), static_cast<int>(normal.height() * 1.5));

        m->command(4008);  // Edit
        f.settle();
        QCOMPARE(m->frameGeometry().height(), f.main->method_expanded_height());
        QCOMPARE(m->frameGeometry().topLeft(), normal.topLeft());
        QCOMPARE(m->frameGeometry().width(), normal.width());
        m->command(4100);  // End Edit
        f.settle();
        QCOMPARE(m->frameGeometry(), normal);
    }

    // A method named on the command line opens as Open would, but only once the start-up
    // initialisation is over, in place of the Test window.
    void namedMethod_data() {
        QTest::addColumn<bool>("pump_port");
        QTest::addColumn<bool>("test_open");
        QTest::newRow("after the initialisation") << true << false;
        QTest::newRow("no initialisation: at once") << false << false;
        QTest::newRow("refused like Open") << false << true;
    }
    void namedMethod() {
        QFETCH(bool, pump_port);
        QFETCH(bool, test_open);
        UiFixture f(pump_port);
        const QString path = f.dir.filePath("three.pmf");
        write_file(path, kThreeSteps);
        if (test_open) f.main->open_test_window();
        f.main->open_named_method_after_start_up(path);
        if (pump_port) {
            f.main->notify(Note::StartInit, 0);
            f.settle();
            QVERIFY(!f.open(WindowId::Method));  // Open is refused meanwhile
            f.finish_initialisation();
            f.settle();
            QVERIFY(!f.open(WindowId::Test));
        }
        f.settle();
        QCOMPARE(f.open(WindowId::Method), !test_open);
        QCOMPARE(f.presenter.shown,
                 test_open ? fyi("Please close the Test window.") : QStringList{});
        if (!test_open) QCOMPARE(f.sys.run.step_count.load(), 3);
    }
};

// The real windows, the real communication thread and the simulated devices: a method
// opened, run, repeated and reset, as seen from the devices' side.
class MethodRunTest : public QObject {
    Q_OBJECT

  private slots:
    void runRepeatAndReset() {
        using Clock = std::chrono::steady_clock;
        sim::SimPump pump(0.05);
        sim::SimValve valve(0.05);
        QVERIFY(pump.start() && valve.start());
        QTemporaryDir dir;
        const QString previous = QDir::currentPath();
        QDir::setCurrent(dir.path());
        write_file(dir.filePath("setup.txt"), "com_pump=1\r\ncom_valve=2\r\npump=1\r\n");
        // 1 uL at 60 uL/min: one second of motion, a twentieth of it in the simulator.
        const QString path = dir.filePath("run.pmf");
        write_file(path, kHeader +
                             "Dispense|1.0000|60.00|1|false\r\n"
                             "Multi Valve|3|CW|0|false\r\n"
                             "Aspirate|1.0000|60.00|0|false\r\n");
        DevicePortProvider ports({pump.device_path(), valve.device_path(), "", ""});
        RecordingPresenter presenter;
        AppServices app(presenter, &ports);
        {
            MainWindow main(app.ctx);
            main.start_up();
            main.open_named_method_after_start_up(path);
            QTRY_VERIFY_WITH_TIMEOUT(app.windows.is_open(WindowId::Method), 30000);
            QVERIFY(!app.windows.is_open(WindowId::Test));
            auto* m = dynamic_cast<QuorvelDialog*>(app.windows.widget(WindowId::Method));
            // The Open and the window stop the pump as it opens; those lines come first.
            QTRY_VERIFY_WITH_TIMEOUT(app.sys.comm.pump.queue.empty(), 10000);
            QTest::qWait(300);
            QCOMPARE(pump.received_lines().back(), std::string("SSTP"));
            pump.clear_received();
            valve.clear_received();

            m->command(4004);  // Run
            QTRY_VERIFY_WITH_TIMEOUT(
                !pump.received_lines().empty() && !pump.moving() && pump.moves_started() == 1,
                10000);
            const auto stopped = Clock::now();
            QTRY_VERIFY_WITH_TIMEOUT(valve.received_lines().size() == 2, 10000);
            // The dispense's one-second wait runs from the end of its motion.
            QVERIFY(Clock::now() - stopped >= std::chrono::milliseconds(900));
            QCOMPARE(valve.received_lines(), (std::vector<std::string>{"cw3", "cp"}));
            QTRY_VERIFY_WITH_TIMEOUT(pump.moves_started() == 2 && !pump.moving(), 10000);
            QCOMPARE(pump.received_lines(),
                     (std::vector<std::string>{"VM=1.00000000", "MOVR=1.00000000", "VM=1.00000000",
                                               "MOVR=-1.00000000"}));

            // Repeat: the first step comes again after the last.
            m->findChild<QAbstractButton*>(control_name(4010))->click();
            QTRY_VERIFY_WITH_TIMEOUT(pump.moves_started() >= 3, 10000);
            m->command(4005);  // Reset
            QTRY_VERIFY_WITH_TIMEOUT(pump.received_lines().back() == "SSTP", 10000);
            const int moves = pump.moves_started();
            QTest::qWait(1500);
            QCOMPARE(pump.moves_started(), moves);  // nothing more starts after a Reset
            QCOMPARE(app.sys.run.mode.load(), MethodRunMode::Idle);
            main.close();
        }
        QDir::setCurrent(previous);
        QVERIFY(presenter.shown.isEmpty());
    }
};

static const RegisterTestClass<MethodCommandsTest> registered_commands;
static const RegisterTestClass<MethodRunTest> registered_run;

}  // namespace quorvel::uitest

#include "method_commands_test.moc"
