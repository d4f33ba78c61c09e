// The Method window: opening, Edit mode and its fields, the row operations, the run
// controls by mode, closing with its question, the step list's selection and the lamps.

#include "ui/method_window.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QComboBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QScrollBar>

#include "method/method_list_format.h"
#include "method/method_runner.h"
#include "ui_fixture.h"

namespace quorvel::uitest {
namespace {

using Row = QStringList;  // a row's five texts

MethodStep step(const Row& t) {
    return {t[0].toStdString(), t[1].toStdString(), t[2].toStdString(), t[3].toStdString(),
            t[4].toStdString()};
}
Row texts(const MethodStep& s) {
    return {s.action_text.str().c_str(), s.amount_text.str().c_str(), s.rate_text.str().c_str(),
            s.wait_text.str().c_str(), s.event_text.str().c_str()};
}

const std::vector<Row> kThreeSteps{{"Aspirate", "1.0000", "50.00", "0", "false"},
                                   {"Dispense", "2.0000", "60.00", "1", "false"},
                                   {"2 Pos.Valve", "2", "Short", "0", "true"}};

// Stands in for the main window, to see the commands the Method window posts to it.
struct MainRecorder final : public NotifiedWindow {
    void notify(Note, int) override {}
    void command(int id) override { commands << id; }
    QList<int> commands;
};

QListWidget* list(const QWidget* w) {
    return UiFixture::control<QListWidget>(w, method_ctl::StepList);
}
QStringList lines(const QWidget* w) {
    QStringList out;
    for (int i = 0; i < list(w)->count(); ++i) out << list(w)->item(i)->text();
    return out;
}
// The lines of the table's first n rows, as the step list must show them.
QStringList rendered(const System& sys, int n) {
    QStringList out;
    for (int i = 0; i < n; ++i)
        out << QString::fromStdString(method_row_line(sys.method_table[i], i));
    return out;
}
int selected(const QWidget* w) {
    const auto items = list(w)->selectedItems();
    return items.isEmpty() ? -1 : list(w)->row(items.first());
}
QString label(const QWidget* w, int id) {
    return UiFixture::control<QLabel>(w, id)->text();
}
// What the edit controls show: the checked action, volume, rate, wait, position, direction.
Row controls(const QWidget* w) {
    const QAbstractButton* b = w->findChild<QButtonGroup*>()->checkedButton();
    Row out{b ? b->text() : ""};
    for (const int id : {method_ctl::Volume, method_ctl::Rate, method_ctl::Wait})
        out << UiFixture::control<QLineEdit>(w, id)->text();
    for (const int id : {method_ctl::Position, method_ctl::Direction})
        out << UiFixture::control<QComboBox>(w, id)->currentText();
    return out;
}

}  // namespace

class MethodWindowTest : public QObject {
    Q_OBJECT

  private:
    // As Open and New leave things: Idle (its SSTP taken), the rows, the title and the path
    // in place; then "Active" or "Editing" as Run or Edit make it.
    static MethodWindow* open_method(UiFixture& f, const std::vector<Row>& rows,
                                     const QString& mode = "Idle",
                                     const std::string& title = "three.pmf") {
        set_run_mode(f.sys, MethodRunMode::Idle);
        f.take_pump_queue();
        for (std::size_t i = 0; i < rows.size(); ++i) f.sys.method_table[i] = step(rows[i]);
        f.sys.run.step_count = static_cast<int>(rows.size());
        f.sys.document.method_title = title;
        f.sys.document.method_path = f.dir.filePath("three.pmf").toStdString();
        auto* w = new MethodWindow(f.ctx, f.main.get());
        w->show();
        f.settle();
        if (mode != "Idle") w->command(mode == "Active" ? method_ctl::Run : method_ctl::Edit);
        f.settle();
        return w;
    }
    static void click(UiFixture& f, QWidget* w, int id) {
        auto* b = UiFixture::control<QAbstractButton>(w, id);
        QVERIFY2(b && b->isEnabled(), qPrintable(control_name(id)));
        b->click();
        f.settle();
    }
    static void key_down(QWidget* w, int id) {
        QTest::keyClick(UiFixture::control<QComboBox>(w, id), Qt::Key_Down);
    }

  private slots:
    void opening_data() {
        QTest::addColumn<bool>("is_new");
        QTest::newRow("new method") << true;
        QTest::newRow("from a file") << false;
    }
    void opening() {
        QFETCH(bool, is_new);
        UiFixture f;
        // What an earlier method left: texts beyond the new one's rows, its two marks.
        f.sys.method_table[7] = step({"Wash", "5", "20", "0", "false"});
        f.sys.document.method_modified = f.sys.document.close_after_save = true;
        MethodWindow* w = open_method(f, is_new ? std::vector<Row>{} : kThreeSteps, "Idle",
                                      is_new ? "" : "three.v2.pmf");
        QCOMPARE(label(w, method_ctl::Status), is_new ? "Status: Editing" : "Status: Idle");
        QCOMPARE(w->windowTitle(), is_new ? "" : "three.v2.pmf");
        QCOMPARE(label(w, method_ctl::Name), is_new ? "Method: " : "Method: three");
        QCOMPARE(f.take_pump_queue(), QStringList{"SSTP"});
        QCOMPARE(f.sys.document.method_modified, is_new);
        QVERIFY(!f.sys.document.close_after_save);
        QCOMPARE(selected(w), is_new ? 0 : -1);
        QCOMPARE(lines(w), rendered(f.sys, is_new ? 99 : 3));
        if (!is_new) return;
        // Edit empties the rows beyond the method; showing row 1 has written it back.
        QCOMPARE(texts(f.sys.method_table[7]), Row(5));
        QCOMPARE(texts(f.sys.method_table[0]), (Row{"", "0.0000", "0.00", "0", "false"}));
        QCOMPARE(controls(w), Row(6));
        QCOMPARE(label(w, method_ctl::RowNumber), QString("1"));
    }

    // Showing a row in Edit mode writes it back in canonical form through the fields; what
    // is then typed into a field is stored, cut to the maximum rate, or not taken.
    void editFields_data() {
        QTest::addColumn<Row>("row");
        QTest::addColumn<int>("field");  // typed into; 0: none
        QTest::addColumn<QString>("typed");
        QTest::addColumn<Row>("stored");
        QTest::addColumn<Row>("shown");  // by the edit controls
        const Row pump{"Aspirate", "1", "10", "0", "false"};
        // clang-format off
        QTest::newRow("pump row") << Row{"aspirate", "100", "50", "2", "yes"} << 0 << ""
            << Row{"Aspirate", "100.0000", "50.00", "2", "true"} << Row{"Aspirate", "100.0000", "50.00", "2", "", ""};
        QTest::newRow("negative wait, shown as none") << Row{"Wash", "5", "20", "-5", "false"} << 0 << ""
            << Row{"Wash", "5.0000", "20.00", "0", "false"} << Row{"Wash", "5.0000", "20.00", "0", "", ""};
        QTest::newRow("Mix decodes as a valve without direction") << Row{"Mix", "3", "50", "0", "false"} << 0 << ""
            << Row{"Multi Valve", "3", "", "0", "false"} << Row{"Multi-Pos.", "", "", "0", "3", ""};
        QTest::newRow("rate above the maximum") << pump << method_ctl::Rate << "100000"
            << Row{"Aspirate", "1.0000", "400.00", "0", "false"} << Row{"Aspirate", "1.0000", "400", "0", "", ""};
        QTest::newRow("rate not a number") << pump << method_ctl::Rate << "nan"
            << Row{"Aspirate", "1.0000", "0.00", "0", "false"} << Row{"Aspirate", "1.0000", "nan", "0", "", ""};
        QTest::newRow("volume infinite") << pump << method_ctl::Volume << "inf"
            << Row{"Aspirate", "0.0000", "10.00", "0", "false"} << Row{"Aspirate", "inf", "10.00", "0", "", ""};
        QTest::newRow("wait beyond the range") << pump << method_ctl::Wait << "99999999999"
            << Row{"Aspirate", "1.0000", "10.00", "2147483", "false"} << Row{"Aspirate", "1.0000", "10.00", "99999999999", "", ""};
        // clang-format on
    }
    void editFields() {
        QFETCH(Row, row);
        QFETCH(int, field);
        QFETCH(QString, typed);
        QFETCH(Row, stored);
        QFETCH(Row, shown);
        UiFixture f;
        f.set_pump_size(0);  // "4": at most 400.02 uL per minute
        MethodWindow* w = open_method(f, {row}, "Editing");
        if (field) {
            // Key by key, as the operator types: each prefix is a change of its own.
            auto* edit = UiFixture::control<QLineEdit>(w, field);
            edit->setFocus();
            edit->selectAll();
            QTest::keyClicks(edit, typed);
            f.settle();
        }
        QCOMPARE(texts(f.sys.method_table[0]), stored);
        QCOMPARE(controls(w), shown);
        QCOMPARE(lines(w)[0], rendered(f.sys, 1)[0]);
        QCOMPARE(selected(w), 0);
    }

    // A radio button refills the valve lists but not the fields.
    void actionButtons() {
        UiFixture f;
        MethodWindow* w = open_method(
            f, {{"Dispense", "20", "30", "4", "true"}, {"Multi Valve", "3", "CW", "0", "false"}},
            "Editing");
        click(f, w, method_ctl::TwoPos);
        QCOMPARE(texts(f.sys.method_table[0]), (Row{"2 Pos.Valve", "1", "Short", "4", "true"}));
        key_down(w, method_ctl::Position);
        QCOMPARE(texts(f.sys.method_table[0]), (Row{"2 Pos.Valve", "2", "Short", "4", "true"}));
        click(f, w, method_ctl::Down);
        key_down(w, method_ctl::Direction);
        click(f, w, method_ctl::StepEvent);
        QCOMPARE(texts(f.sys.method_table[1]), (Row{"Multi Valve", "3", "CCW", "0", "true"}));
        // The fields still read the pump row's texts, but the step's volume and rate are
        // those decoded from the valve row.
        click(f, w, method_ctl::Aspirate);
        QCOMPARE(controls(w), (Row{"Aspirate", "20.0000", "30.00", "0", "3", "CCW"}));
        QCOMPARE(texts(f.sys.method_table[1]), (Row{"Aspirate", "0.0000", "0.00", "0", "true"}));
    }

    // The current row stays where it was: the new empty row, the copy, the row moved up.
    void rowOperations_data() {
        QTest::addColumn<int>("operation");
        QTest::addColumn<QStringList>("actions");
        QTest::addColumn<QString>("radio");
        // clang-format off
        QTest::newRow("Insert")    << int(method_ctl::Insert)    << QStringList{"Aspirate", "", "Dispense", "2 Pos.Valve"}         << "";
        QTest::newRow("Duplicate") << int(method_ctl::Duplicate) << QStringList{"Aspirate", "Dispense", "Dispense", "2 Pos.Valve"} << "Dispense";
        QTest::newRow("Delete")    << int(method_ctl::Delete)    << QStringList{"Aspirate", "2 Pos.Valve", "", ""}                 << "2-Pos.";
        // clang-format on
    }
    void rowOperations() {
        QFETCH(int, operation);
        QFETCH(QStringList, actions);
        QFETCH(QString, radio);
        UiFixture f;
        MethodWindow* w = open_method(f, kThreeSteps, "Editing");
        click(f, w, method_ctl::Down);
        click(f, w, operation);
        QCOMPARE(f.sys.run.current_step.load(), 1);
        QCOMPARE(selected(w), 1);
        QCOMPARE(controls(w)[0], radio);
        for (int i = 0; i < actions.size(); ++i)
            QCOMPARE(QString::fromStdString(f.sys.method_table[i].action_text.str()), actions[i]);
        QCOMPARE(lines(w), rendered(f.sys, 99));
    }

    // Run, Reset, Event and Edit by mode; an Event press is lost while anything moves.
    void runControls_data() {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<int>("command");
        QTest::addColumn<QString>("moving");
        QTest::addColumn<QString>("after");  // the mode shown afterwards
        QTest::addColumn<bool>("event");     // the operator's Event is taken
        // clang-format off
        for (const int id : {method_ctl::Run, method_ctl::Reset, method_ctl::Event, method_ctl::Edit})
            QTest::addRow("%d while editing", id) << "Editing" << id << "" << "Editing" << false;
        QTest::newRow("Edit while running")  << "Active" << int(method_ctl::Edit)  << ""      << "Active" << false;
        QTest::newRow("Run while running")   << "Active" << int(method_ctl::Run)   << ""      << "Active" << false;
        QTest::newRow("Reset while idle")    << "Idle"   << int(method_ctl::Reset) << ""      << "Idle"   << false;
        QTest::newRow("Event, all still")    << "Active" << int(method_ctl::Event) << ""      << "Active" << true;
        QTest::newRow("Event, pump moving")  << "Active" << int(method_ctl::Event) << "pump"  << "Active" << false;
        QTest::newRow("Event, valve moving") << "Active" << int(method_ctl::Event) << "valve" << "Active" << false;
        // clang-format on
    }
    void runControls() {
        QFETCH(QString, mode);
        QFETCH(int, command);
        QFETCH(QString, moving);
        QFETCH(QString, after);
        QFETCH(bool, event);
        UiFixture f;
        MethodWindow* w = open_method(f, kThreeSteps, mode);
        f.take_pump_queue();
        f.sys.comm.pump_moving = moving == "pump";
        f.sys.comm.valve_busy = moving == "valve";
        click(f, w, command);
        // A lost press stays lost once all is still again.
        f.sys.comm.pump_moving = false;
        f.sys.comm.valve_busy = false;
        f.bridge.deliver(WindowId::Method, Note::PassDone, 0);
        QCOMPARE(label(w, method_ctl::Status), "Status: " + after);
        QCOMPARE(f.sys.run.event_flag.load(), event);
        QCOMPARE(f.take_pump_queue(), after == "Idle" ? QStringList{"SSTP"} : QStringList{});
        const bool refused = mode == "Active" && command == method_ctl::Edit;
        QCOMPARE(f.presenter.shown, fyi(refused ? "Please click on Reset before editing" : ""));
    }

    // Run takes only a method whose every step the pump and the valve can do.
    void runChecksTheSteps_data() {
        QTest::addColumn<QString>("rate");  // of step 2
        QTest::addColumn<QString>("after");
        QTest::addColumn<QStringList>("shown");
        // clang-format off
        QTest::newRow("in range") << "60.00" << "Active" << QStringList{};
        QTest::newRow("too fast") << "999999" << "Idle" << QStringList{
            "Error: Step 2: the rate 999999 uL/min is above the pump's limit of 10000.02 uL/min."};
        // clang-format on
    }
    void runChecksTheSteps() {
        QFETCH(QString, rate);
        QFETCH(QString, after);
        QFETCH(QStringList, shown);
        UiFixture f;
        std::vector<Row> rows = kThreeSteps;
        rows[1][2] = rate;
        MethodWindow* w = open_method(f, rows);
        click(f, w, method_ctl::Run);
        QCOMPARE(label(w, method_ctl::Status), "Status: " + after);
        QCOMPARE(f.sys.run.mode.load() == MethodRunMode::Active, after == "Active");
        QCOMPARE(f.presenter.shown, shown);
    }

    // Close, or Escape: refused while running, ends Edit mode first, asks about changes;
    // Yes asks the main window to save, and the save then closes the window.
    void closing_data() {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<bool>("modified");
        QTest::addColumn<Answer>("answer");
        QTest::addColumn<bool>("escape");  // the key, or else the Close button
        QTest::addColumn<bool>("closes");
        // clang-format off
        QTest::newRow("Escape is Close")   << "Idle"    << false << Answer::Cancel << true  << true;
        QTest::newRow("changed, No")       << "Idle"    << true  << Answer::No     << false << true;
        QTest::newRow("changed, Cancel")   << "Idle"    << true  << Answer::Cancel << false << false;
        QTest::newRow("changed, Yes")      << "Idle"    << true  << Answer::Yes    << false << false;
        QTest::newRow("editing: End Edit") << "Editing" << true  << Answer::No     << true  << false;
        QTest::newRow("running")           << "Active"  << false << Answer::No     << false << false;
        // clang-format on
    }
    void closing() {
        QFETCH(QString, mode);
        QFETCH(bool, modified);
        QFETCH(Answer, answer);
        QFETCH(bool, escape);
        QFETCH(bool, closes);
        MainRecorder main;
        QWidget main_widget;
        UiFixture f;
        f.windows.set(WindowId::Main, &main_widget, &main);
        QPointer<MethodWindow> w = open_method(f, kThreeSteps, mode);
        f.sys.document.method_modified = modified;
        f.presenter.answer = answer;
        f.take_pump_queue();
        if (escape)
            QTest::keyClick(w, Qt::Key_Escape);
        else
            click(f, w, method_ctl::Close);
        f.settle();

        const bool asked = modified && mode == "Idle";
        const bool saving = asked && answer == Answer::Yes;
        const QStringList none;
        QCOMPARE(w.isNull(), closes);
        QCOMPARE(f.open(WindowId::Method), !closes);
        QCOMPARE(f.sys.run.followed.load(), !closes);  // the runner runs while the window is open
        // Closing stops the pump, and so does the End Edit that Close makes in Edit mode.
        QCOMPARE(f.take_pump_queue(), closes || mode == "Editing" ? QStringList{"SSTP"} : none);
        const QStringList refused{"!: Please reset the running method first"};
        QCOMPARE(f.presenter.shown, mode == "Active" ? refused : none);
        const QStringList question{"?: Do you want to save this method before closing?"};
        QCOMPARE(f.presenter.asked, asked ? question : none);
        QCOMPARE(main.commands, saving ? QList<int>{cmd::Save} : QList<int>{});
        QCOMPARE(f.sys.document.close_after_save, saving);
        if (closes) {
            QCOMPARE(f.sys.run.mode.load(), MethodRunMode::None);
            QCOMPARE(f.sys.run.step_count.load(), 0);
            QCOMPARE(f.sys.run.current_step.load(), -1);
        }
        if (mode == "Editing") {
            // Idle with the rows compacted and listed, the edit controls off; still changed.
            QCOMPARE(label(w, method_ctl::Status), QString("Status: Idle"));
            QCOMPARE(lines(w), rendered(f.sys, 3));
            QCOMPARE(f.sys.run.step_count.load(), 3);
            QCOMPARE(selected(w), -1);
            QVERIFY(f.sys.document.method_modified);
            QVERIFY(!UiFixture::control<QWidget>(w, method_ctl::EndEdit)->isEnabled());
        }
        if (saving) {
            // The save, once written, closes the window without asking again.
            f.main->command(cmd::Save);
            f.settle();
            QVERIFY(w.isNull());
            QCOMPARE(f.presenter.asked.size(), 1);
        }
    }

    // Outside Edit mode the selection stays on the running row; in Edit mode a click picks
    // the row to edit, and a selection the runner posted before is ignored.
    void selection_data() {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<int>("clicked");  // -1: a late selection of line 2 instead
        QTest::addColumn<int>("row_after");
        QTest::newRow("idle, click") << "Idle" << 1 << -1;
        QTest::newRow("running, click") << "Active" << 2 << 1;
        QTest::newRow("editing, click") << "Editing" << 0 << 0;
        QTest::newRow("editing, late selection") << "Editing" << -1 << 1;
    }
    void selection() {
        QFETCH(QString, mode);
        QFETCH(int, clicked);
        QFETCH(int, row_after);
        UiFixture f;
        MethodWindow* w = open_method(f, kThreeSteps, mode);
        if (mode == "Active") f.sys.run.current_step = 1;  // as the runner leaves it
        if (mode == "Editing") click(f, w, method_ctl::Down);
        if (clicked >= 0) {
            QListWidget* l = list(w);
            QTest::mouseClick(l->viewport(), Qt::LeftButton, {},
                              l->visualItemRect(l->item(clicked)).center());
        } else {
            list(w)->scrollToBottom();  // away from the operator's row
            f.bridge.post(WindowId::Method, Note::MethodSelect, 2);
        }
        f.settle();
        const QScrollBar* bar = list(w)->verticalScrollBar();
        if (clicked < 0) QCOMPARE(bar->value(), bar->maximum());  // the list stays put
        QCOMPARE(selected(w), row_after);
        QCOMPARE(f.sys.run.selected_line.load(), row_after);
        QCOMPARE(f.sys.run.current_step.load(), row_after);
        if (mode == "Editing")
            QCOMPARE(label(w, method_ctl::RowNumber), QString::number(row_after + 1));
    }

    // The activity's lamp is lit green, the others white, all outlined in black; a code
    // without a lamp draws none until a known code comes again.
    void lamps() {
        UiFixture f;
        MethodWindow* w = open_method(f, kThreeSteps);
        const QColor background =
            w->grab().toImage().pixelColor(w->lamps()[0].topLeft() - QPoint(4, 4));
        QStringList seen;  // per lamp: G green, W white, . not drawn
        for (const int activity : {0, 5, 7, 8, 4}) {
            f.sys.comm.activity = static_cast<PumpActivity>(activity);
            f.bridge.deliver(WindowId::Method, Note::PassDone, 0);
            const QImage image = w->grab().toImage();
            QString lamps = QString::number(activity) + ":";
            for (const QRect& r : w->lamps()) {
                const QColor inside = image.pixelColor(r.center());
                const bool outlined = image.pixelColor(r.topLeft()) == QColor(Qt::black);
                lamps += outlined && inside == QColor(Qt::green)   ? 'G'
                         : outlined && inside == QColor(Qt::white) ? 'W'
                         : !outlined && inside == background       ? '.'
                                                                   : '?';
            }
            seen << lamps;
        }
        QCOMPARE(seen, (QStringList{"0:WWWWWW", "5:WWWWGW", "7:WWWWWG", "8:......", "4:GWWWWW"}));
    }
};

static const RegisterTestClass<MethodWindowTest> registered;

}  // namespace quorvel::uitest

#include "method_window_test.moc"
