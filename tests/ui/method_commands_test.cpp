// The method commands of the menu (New, Open, Save, Save as), the Method window's heights,
// a method named on the command line, and a method run against the simulated devices.

#include <QAbstractButton>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include "comm/serial_port.h"
#include "common/json_text.h"
#include "common/sha256.h"
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
        QTest::addColumn<bool>("initialising");
        QTest::addColumn<QByteArray>("file");  // what the chosen file holds; empty: cancelled
        QTest::addColumn<QString>("shown");
        QTest::addColumn<MethodRunMode>("mode");  // afterwards
        QTest::addColumn<int>("steps");
        QTest::addColumn<QString>("why");  // the message's second line
        const QString problem = "There was a problem with this file";
        // clang-format off
        QTest::newRow("Open while initialising")   << cmd::Open << true  << kThreeSteps  << ""      << MethodRunMode::None    << 0  << "";
        QTest::newRow("Open cancelled")            << cmd::Open << false << QByteArray() << ""      << MethodRunMode::Idle    << 0  << "";
        QTest::newRow("Open a method")             << cmd::Open << false << kThreeSteps  << ""      << MethodRunMode::Idle    << 3  << "";
        QTest::newRow("Open a file without steps") << cmd::Open << false << kHeader      << problem << MethodRunMode::Idle    << 0  << "it holds no method steps";
        QTest::newRow("Open a file with a bad step") << cmd::Open << false << kHeader + "Wash|1\r\n" << problem << MethodRunMode::Idle << 0 << "line 2 does not hold five texts joined by |";
        QTest::newRow("New")                       << cmd::New  << false << QByteArray() << ""      << MethodRunMode::Editing << 99 << "";
        // clang-format on
    }
    void openAndNew() {
        QFETCH(int, id);
        QFETCH(bool, initialising);
        QFETCH(QByteArray, file);
        QFETCH(QString, shown);
        QFETCH(MethodRunMode, mode);
        QFETCH(int, steps);
        QFETCH(QString, why);
        UiFixture f;
        if (initialising) f.sys.comm.init_stage = InitStage::BacklashQuery;
        f.sys.document.method_title = "earlier.pmf";  // New forgets it
        const QString path = f.dir.filePath("three.pmf");
        if (!file.isEmpty()) {
            write_file(path, file);
            f.dialog_answers << path;
        }
        f.take_pump_queue();

        f.main->command(id);
        f.settle();
        QCOMPARE(f.presenter.shown, fyi(shown));
        QCOMPARE(f.presenter.details, shown.isEmpty() ? QStringList{} : QStringList{why});
        QCOMPARE(f.dialogs_asked,
                 id == cmd::Open && !initialising ? QStringList{"open"} : QStringList{});
        QCOMPARE(f.sys.run.mode.load(), mode);
        QCOMPARE(f.sys.run.step_count.load(), steps);
        QCOMPARE(f.open(WindowId::Method), steps > 0);
        // Whatever the dialog's answer, the run was reset and the pump stopped before it.
        QCOMPARE(f.take_pump_queue().contains("SSTP"), !initialising);
        if (steps == 3) QCOMPARE(method_window(f)->windowTitle(), QString("three.pmf"));
    }

    // Save and Save as: where the method goes and what the operator is told. (A save that
    // closes the window after it is the Method window's Close, answered Yes.)
    void saves_data() {
        QTest::addColumn<int>("id");
        QTest::addColumn<QString>("setup");    // "editing", "new", "close after" the save
        QTest::addColumn<QString>("answer");   // the save dialog's answer, in the folder
        QTest::addColumn<QString>("written");  // the file written there; empty: none
        QTest::addColumn<QString>("shown");    // the start of the message shown, if any
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("asked");  // the question asked before the save, if any
        const QString editing = "fyi: Please exit Edit mode before saving";
        // clang-format off
        for (const int id : {cmd::Save, cmd::SaveAs})
            QTest::addRow("%d while editing", id) << id << "editing" << "" << "" << editing << "three.pmf" << "";
        QTest::newRow("Save keeps the file")          << cmd::Save   << ""            << ""               << "three.pmf"    << "" << "three.pmf" << "";
        QTest::newRow("Save of a new method asks for a name; full stops in a folder and the name")
                                                      << cmd::Save   << "new"         << "v1.2/run.2.txt" << "v1.2/run.pmf" << "" << "run.pmf" << "";
        QTest::newRow("Save as cancelled")            << cmd::SaveAs << ""            << ""               << ""             << "" << "three.pmf" << "";
        QTest::newRow("a failed save is reported and closes nothing")
            << cmd::SaveAs << "close after" << "taken.pmf" << "" << "Error: The method could not be saved to " << "three.pmf" << "";
        // The file the dialog confirmed is the one written (a.pmf, a folder here, is another).
        QTest::newRow("a name ending in .pmf is kept whole")
                                                      << cmd::SaveAs << ""            << "a.b.pmf"        << "a.b.pmf"      << "" << "a.b.pmf" << "";
        QTest::newRow("the .pmf a name comes to is asked about")
            << cmd::SaveAs << "" << "name" << "" << "" << "three.pmf"
            << "Confirm Save As: name.pmf already exists.\nDo you want to replace it?";
        // clang-format on
    }
    void saves() {
        QFETCH(int, id);
        QFETCH(QString, setup);
        QFETCH(QString, answer);
        QFETCH(QString, written);
        QFETCH(QString, shown);
        QFETCH(QString, title);
        QFETCH(QString, asked);
        UiFixture f;
        QDir folder(f.dir.path());
        // Nothing replaces a folder.
        QVERIFY(folder.mkpath("v1.2") && folder.mkpath("taken.pmf") && folder.mkpath("a.pmf"));
        write_file(folder.filePath("name.pmf"), kHeader);
        const QString original = folder.filePath("three.pmf");
        write_file(original, kThreeSteps);
        const bool is_new = setup == "new";
        if (!is_new) f.dialog_answers << original;
        f.main->command(is_new ? cmd::New : cmd::Open);
        f.settle();
        QuorvelDialog* m = method_window(f);
        QVERIFY(m);
        // A new method leaves Edit mode with nothing entered: no steps, never saved. An opened
        // one loses its file, so that a save shows by bringing it back.
        if (is_new)
            m->command(4100);
        else
            QFile::remove(original);
        if (setup == "editing") m->command(4008);
        f.settle();
        f.sys.document.method_modified = true;
        f.sys.document.close_after_save = setup == "close after";
        if (!answer.isEmpty()) f.dialog_answers << folder.filePath(answer);

        f.main->command(id);
        f.settle();
        if (written.isEmpty()) {
            QVERIFY(!QFile::exists(original));
        } else {
            QCOMPARE(read_file(folder.filePath(written)), is_new ? kHeader : kThreeSteps);
            QCOMPARE(f.sys.document.method_path, folder.filePath(written).toStdString());
        }
        // Only a method that was written is no longer marked as changed.
        QCOMPARE(f.sys.document.method_modified, written.isEmpty());
        QCOMPARE(f.presenter.shown.size(), shown.isEmpty() ? 0 : 1);
        if (!shown.isEmpty())
            QVERIFY2(f.presenter.shown[0].startsWith(shown), qPrintable(f.presenter.shown[0]));
        QCOMPARE(QString::fromStdString(f.sys.document.method_title), title);
        QCOMPARE(f.presenter.asked, asked.isEmpty() ? QStringList{} : QStringList{asked});
        // Nothing here closes the window, not even a failed save that was to close it; nor
        // will a later save.
        QVERIFY(f.open(WindowId::Method));
        QVERIFY(!f.sys.document.close_after_save);
        QCOMPARE(m->windowTitle(), title);
    }

    // The Method window is enlarged for editing and given back its height after, in place.
    void heights() {
        UiFixture f;
        f.main->command(cmd::New);  // a new method opens in Edit mode
        f.settle();
        QuorvelDialog* m = method_window(f);
        QVERIFY(m);
        const QRect expanded = m->frameGeometry();
        m->command(4100);  // End Edit
        f.settle();
        const QRect normal = m->frameGeometry();
        QCOMPARE(f.main->method_normal_height(), normal.height());
        QCOMPARE(expanded.height(), static_cast<int>(normal.height() * 1.5));
        QCOMPARE(expanded.topLeft(), normal.topLeft());
        QCOMPARE(expanded.width(), normal.width());
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
            f.finish_initialisation();
            f.settle();
            QVERIFY(!f.open(WindowId::Test));
        }
        f.settle();
        QCOMPARE(f.open(WindowId::Method), !test_open);
        QCOMPARE(f.presenter.shown, fyi(test_open ? "Please close the Test window." : ""));
        if (!test_open) QCOMPARE(f.sys.run.step_count.load(), 3);
    }

    // A method handed over by a second start takes the place of what is open, or the operator
    // is told why not; during an initialisation it waits for its end.
    void handOver_data() {
        QTest::addColumn<QString>("before");  // what is open when b.pmf comes
        QTest::addColumn<Answer>("answer");   // to the save question
        QTest::addColumn<QString>("title");   // of the Method window afterwards
        QTest::addColumn<QStringList>("shown");
        const QStringList none;
        // clang-format off
        QTest::newRow("an idle method")              << "method"          << Answer::Cancel << "b.pmf" << none;
        QTest::newRow("changes kept by Cancel")      << "method modified" << Answer::Cancel << "a.pmf" << none;
        QTest::newRow("changes given up by No")      << "method modified" << Answer::No     << "b.pmf" << none;
        QTest::newRow("a running method")            << "method running"  << Answer::Cancel << "a.pmf"
            << QStringList{"!: Please reset the running method first"};
        QTest::newRow("a still Test window")         << "test"            << Answer::Cancel << "b.pmf" << none;
        QTest::newRow("a Test window that moves")    << "test moving"     << Answer::Cancel << ""      << fyi("Please close the Test window.");
        QTest::newRow("after the initialisation")    << "initialising"    << Answer::Cancel << "b.pmf" << none;
        // clang-format on
    }
    void handOver() {
        QFETCH(QString, before);
        QFETCH(Answer, answer);
        QFETCH(QString, title);
        QFETCH(QStringList, shown);
        UiFixture f;
        for (const char* name : {"a.pmf", "b.pmf"}) write_file(f.dir.filePath(name), kThreeSteps);
        if (before.startsWith("method")) {
            f.dialog_answers << f.dir.filePath("a.pmf");
            f.main->command(cmd::Open);
        } else if (before.startsWith("test")) {
            f.main->open_test_window();
        } else {
            f.main->notify(Note::StartInit, 0);
        }
        f.settle();
        f.sys.document.method_modified = before == "method modified";
        if (before == "method running") set_run_mode(f.sys, MethodRunMode::Active);
        f.sys.comm.pump_moving = before == "test moving";
        f.presenter.answer = answer;

        f.main->open_named_method(f.dir.filePath("b.pmf"));
        if (before == "initialising") {
            QVERIFY(!f.open(WindowId::Method));
            f.finish_initialisation();
        }
        f.settle();
        QCOMPARE(f.presenter.shown, shown);
        QCOMPARE(f.presenter.asked.size(), before == "method modified" ? 1 : 0);
        QuorvelDialog* m = method_window(f);
        QCOMPARE(m ? m->windowTitle() : QString(), title);
        QCOMPARE(f.open(WindowId::Test), before == "test moving");
    }

    // Requests that come while the operator reads about one are folded into one box.
    void aBurstOfHandOversShowsOneMessage() {
        UiFixture f;
        write_file(f.dir.filePath("a.pmf"), kThreeSteps);
        f.dialog_answers << f.dir.filePath("a.pmf");
        f.main->command(cmd::Open);
        f.settle();
        set_run_mode(f.sys, MethodRunMode::Active);
        const QString b = f.dir.filePath("b.pmf");
        f.presenter.while_shown = [&] {
            for (int i = 0; i < 300; ++i) f.main->open_named_method(b);
        };
        f.main->open_named_method(b);
        QCOMPARE(f.presenter.shown, QStringList{"!: Please reset the running method first"});
    }

    // Quit with changes in the Method window asks first; Cancel, or a save that does not
    // happen, keeps the program running.
    void quitAsksAboutChanges_data() {
        QTest::addColumn<bool>("titled");  // the method has a file
        QTest::addColumn<bool>("modified");
        QTest::addColumn<Answer>("answer");
        QTest::addColumn<bool>("ends");
        QTest::addColumn<bool>("saved");
        // clang-format off
        QTest::newRow("nothing changed")             << true  << false << Answer::Cancel << true  << false;
        QTest::newRow("Cancel")                      << true  << true  << Answer::Cancel << false << false;
        QTest::newRow("No")                          << true  << true  << Answer::No     << true  << false;
        QTest::newRow("Yes saves")                   << true  << true  << Answer::Yes    << true  << true;
        QTest::newRow("Yes, then no name is chosen") << false << true  << Answer::Yes    << false << false;
        // clang-format on
    }
    void quitAsksAboutChanges() {
        QFETCH(bool, titled);
        QFETCH(bool, modified);
        QFETCH(Answer, answer);
        QFETCH(bool, ends);
        QFETCH(bool, saved);
        UiFixture f;
        const QString path = f.dir.filePath("a.pmf");
        write_file(path, kThreeSteps);
        if (titled) f.dialog_answers << path;
        f.main->command(titled ? cmd::Open : cmd::New);
        f.settle();
        if (!titled) method_window(f)->command(4100);  // End Edit
        f.sys.method_table[0] = {"Dispense", "1", "60", "0", "false"};
        f.sys.run.step_count = 1;
        f.sys.document.method_modified = modified;
        f.presenter.answer = answer;

        f.main->command(cmd::Quit);
        f.settle();
        QCOMPARE(f.presenter.asked.size(), modified ? 1 : 0);
        QCOMPARE(f.main->shut_down_done(), ends);
        QCOMPARE(read_file(path).contains("Dispense|1|"), saved);
    }
};

// The real windows, the real communication thread and the simulated devices: a method
// opened, run, repeated and reset, as seen from the devices' side.
class MethodRunTest : public QObject {
    Q_OBJECT

  private slots:
    void runRepeatAndReset() {
        sim::SimPump pump(0.05);
        sim::SimValve valve(0.05);
        QVERIFY(pump.start() && valve.start());
        const ScratchFolder dir;
        write_file(dir.filePath("setup.txt"), "com_pump=1\r\ncom_valve=2\r\npump=1\r\n");
        // 1 uL at 60 uL/min: one second of motion, a twentieth of it in the simulator.
        const QString path = dir.filePath("run.pmf");
        write_file(path, kHeader +
                             "Dispense|1.0000|60.00|0|false\r\n"
                             "Multi Valve|3|CW|0|false\r\n"
                             "Aspirate|1.0000|60.00|0|false\r\n");
        DevicePortProvider ports({pump.device_path(), valve.device_path(), "", ""});
        RecordingPresenter presenter;
        SessionOptions options;
        options.state_folder = dir.filePath("state").toStdString();
        options.record_runs = true;
        options.version = "9.9";
        AppServices app(presenter, &ports, options);
        {
            MainWindow main(app.ctx);
            main.start_up();
            main.open_named_method_after_start_up(path);
            QTRY_VERIFY_WITH_TIMEOUT(app.windows.is_open(WindowId::Method), 30000);
            QVERIFY(!app.windows.is_open(WindowId::Test));
            auto* m = dynamic_cast<QuorvelDialog*>(app.windows.widget(WindowId::Method));
            // The Open and the window stop the pump as it opens; those lines come first.
            QTRY_VERIFY_WITH_TIMEOUT(app.sys.comm.pump.queue.empty(), 10000);
            QTRY_VERIFY_WITH_TIMEOUT(pump.received_lines().back() == "SSTP", 10000);
            pump.clear_received();
            valve.clear_received();

            m->command(4004);  // Run
            QTRY_VERIFY_WITH_TIMEOUT(
                valve.received_lines().size() == 2 && pump.moves_started() == 2 && !pump.moving(),
                10000);
            QCOMPARE(valve.received_lines(), (std::vector<std::string>{"cw3", "cp"}));
            QCOMPARE(pump.received_lines(),
                     (std::vector<std::string>{"VM=1.00000000", "MOVR=1.00000000", "VM=1.00000000",
                                               "MOVR=-1.00000000"}));

            // The run is recorded as finished once its last step is over.
            const QString record = dir.filePath("state/runs.jsonl");
            QTRY_VERIFY_WITH_TIMEOUT(read_file(record).contains(R"("status":"finished")"), 10000);

            // Repeat: the first step comes again after the last.
            m->findChild<QAbstractButton*>(control_name(4010))->click();
            QTRY_VERIFY_WITH_TIMEOUT(pump.moves_started() >= 3, 10000);
            m->command(4005);  // Reset
            QTRY_VERIFY_WITH_TIMEOUT(pump.received_lines().back() == "SSTP", 10000);
            QCOMPARE(app.sys.run.mode.load(), MethodRunMode::Idle);
            main.close();
        }
        QVERIFY(presenter.shown.isEmpty());
        // The record of runs: the file's run to its end, then the rounds Repeat made.
        const QStringList records = QString::fromUtf8(read_file(dir.filePath("state/runs.jsonl")))
                                        .split(u'\n', Qt::SkipEmptyParts);
        QStringList types;
        for (const QString& r : records) types << r.section('"', 3, 3);
        QVERIFY2(types.size() >= 8, qPrintable(types.join(' ')));
        QCOMPARE(types.mid(0, 6), (QStringList{"start", "step", "step", "step", "end", "start"}));
        QCOMPARE(types.last(), "end");
        const std::string digest = sha256_hex(read_file(path).toStdString());
        QVERIFY2(records[0].contains(
                     QString::fromStdString("\"method\":" + json_string(path.toStdString()) +
                                            ",\"sha256\":\"" + digest + "\"")),
                 qPrintable(records[0]));
        QVERIFY2(records[4].contains(R"("status":"finished")"), qPrintable(records[4]));
        QVERIFY2(records.last().contains(R"("status":"stopped")"), qPrintable(records.last()));
    }
};

static const RegisterTestClass<MethodCommandsTest> registered_commands;
static const RegisterTestClass<MethodRunTest> registered_run;

}  // namespace quorvel::uitest

#include "method_commands_test.moc"
