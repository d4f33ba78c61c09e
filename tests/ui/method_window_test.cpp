// The Method window: opening, Edit mode and its fields, the row operations, the run
// controls by mode, closing with its question, the step list's selection and the lamps.

#include "method/method_window.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QRadioButton>

#include "method/method_list_format.h"
#include "method/method_runner.h"
#include "ui_fixture.h"

namespace quorvel::uitest {
namespace {

// A row's five texts.
using Row = QStringList;

MethodStep step(const Row& t) {
    return {t[0].toStdString(), t[1].toStdString(), t[2].toStdString(), t[3].toStdString(),
            t[4].toStdString()};
}
Row texts(const MethodStep& s) {
    Row out;
    for (const StepText* t :
         {&s.action_text, &s.amount_text, &s.rate_text, &s.wait_text, &s.event_text})
        out << QString::fromStdString(t->str());
    return out;
}

const std::vector<Row> kThreeSteps{{"Aspirate", "1.0000", "50.00", "0", "false"},
                                   {"Dispense", "2.0000", "60.00", "1", "false"},
                                   {"2 Pos.Valve", "2", "Short", "0", "true"}};

// Stands in for the main window where a test must see what the Method window asks of it.
struct MainRecorder final : public NotifiedWindow {
    void notify(Note, int) override {}
    void command(int id) override { commands << id; }
    QList<int> commands;
};

// A line of the step list: blanks with the given pieces at their columns.
QString line(std::initializer_list<std::pair<int, QString>> pieces) {
    QString out(static_cast<int>(kMethodLineWidth), ' ');
    for (const auto& [col, text] : pieces) out.replace(col, text.size(), text);
    return out;
}

}  // namespace

class MethodWindowTest : public QObject {
    Q_OBJECT

  private:
    // As Open and New leave things: Idle (its SSTP taken), the rows and the title in place.
    static MethodWindow* open_method(UiFixture& f, const std::vector<Row>& rows,
                                     const std::string& title = "three.pmf") {
        set_run_mode(f.sys, MethodRunMode::Idle);
        f.take_pump_queue();
        for (std::size_t i = 0; i < rows.size(); ++i) f.sys.method_table[i] = step(rows[i]);
        f.sys.run.step_count = static_cast<int>(rows.size());
        f.sys.document.method_title = title;
        auto* w = new MethodWindow(f.ctx, f.main.get());
        w->show();
        f.settle();
        return w;
    }
    static void edit(UiFixture& f, MethodWindow* w) {
        w->command(method_ctl::Edit);
        f.settle();
    }
    static QListWidget* list(const QWidget* w) {
        return UiFixture::control<QListWidget>(w, method_ctl::StepList);
    }
    static QStringList lines(const QWidget* w) {
        QStringList out;
        for (int i = 0; i < list(w)->count(); ++i) out << list(w)->item(i)->text();
        return out;
    }
    static int selected(const QWidget* w) {
        const auto items = list(w)->selectedItems();
        return items.isEmpty() ? -1 : list(w)->row(items.first());
    }
    static QString text(const QWidget* w, int id) {
        if (auto* l = UiFixture::control<QLabel>(w, id)) return l->text();
        if (auto* e = UiFixture::control<QLineEdit>(w, id)) return e->text();
        return UiFixture::control<QComboBox>(w, id)->currentText();
    }
    static int checked_radio(const QWidget* w) {
        for (int id = method_ctl::Aspirate; id <= method_ctl::TwoPos; ++id) {
            if (UiFixture::control<QRadioButton>(w, id)->isChecked()) return id;
        }
        return 0;
    }
    static void click(UiFixture& f, QWidget* w, int id) {
        auto* b = UiFixture::control<QAbstractButton>(w, id);
        QVERIFY2(b && b->isEnabled(), qPrintable(control_name(id)));
        b->click();
        f.settle();
    }
    static void type(UiFixture& f, QWidget* w, int id, const QString& s) {
        auto* field = UiFixture::control<QLineEdit>(w, id);
        field->setFocus();
        field->selectAll();
        QTest::keyClicks(field, s);
        f.settle();
    }
    static void key_down(UiFixture& f, QWidget* w, int id) {
        QTest::keyClick(UiFixture::control<QComboBox>(w, id), Qt::Key_Down);
        f.settle();
    }
    // A mouse click on line r, as the operator makes it.
    static void click_line(UiFixture& f, QWidget* w, int r) {
        QListWidget* l = list(w);
        l->scrollToItem(l->item(r));
        QTest::mouseClick(l->viewport(), Qt::LeftButton, {},
                          l->visualItemRect(l->item(r)).center());
        f.settle();
    }

  private slots:
    void opening_data() {
        QTest::addColumn<bool>("is_new");
        QTest::addColumn<QString>("status");
        QTest::addColumn<int>("line_count");
        QTest::addColumn<int>("selected_line");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QString>("name");
        // clang-format off
        QTest::newRow("new method")  << true  << "Status: Editing" << 99 << 0  << ""             << "Method: ";
        QTest::newRow("from a file") << false << "Status: Idle"    << 3  << -1 << "three.v2.pmf" << "Method: three";
        // clang-format on
    }
    void opening() {
        QFETCH(bool, is_new);
        QFETCH(QString, status);
        QFETCH(int, line_count);
        QFETCH(int, selected_line);
        QFETCH(QString, caption);
        QFETCH(QString, name);
        UiFixture f;
        // Texts an earlier method left beyond the new one's rows.
        f.sys.method_table[7] = step({"Wash", "5", "20", "0", "false"});
        MethodWindow* w =
            open_method(f, is_new ? std::vector<Row>{} : kThreeSteps, caption.toStdString());
        QCOMPARE(text(w, method_ctl::Status), status);
        QCOMPARE(selected(w), selected_line);
        QCOMPARE(w->windowTitle(), caption);
        QCOMPARE(text(w, method_ctl::Name), name);
        QCOMPARE(f.take_pump_queue(), QStringList{"SSTP"});
        QCOMPARE(f.sys.document.method_modified, is_new);
        const QStringList shown = lines(w);
        QCOMPARE(shown.size(), line_count);
        if (!is_new) {
            QVERIFY(shown[1].startsWith(" 2   Dispense"));
            QCOMPARE(shown[2],
                     line({{0, " 3"}, {5, "2 Pos.Valve"}, {19, "pos.="}, {25, "B"}, {65, "Yes"}}));
            return;
        }
        QCOMPARE(checked_radio(w), 0);
        QCOMPARE(text(w, method_ctl::RowNumber), QString("1"));
        // Showing row 1 has written it back (no action, 0.0000, 0.00); the rest are bare numbers.
        QCOMPARE(shown[0], line({{0, " 1"}, {18, "0.0000"}, {35, "0.00"}}));
        for (int i = 1; i < shown.size(); ++i)
            QCOMPARE(shown[i], line({{0, QString("%1").arg(i + 1, 2)}}));
    }

    // What typing into a field leaves in the row; no text ever exceeds its field.
    void typing_data() {
        QTest::addColumn<int>("field");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QString>("stored");
        // clang-format off
        QTest::newRow("rate above the maximum") << method_ctl::Rate   << "100000"      << "400"         << "400.00";
        QTest::newRow("rate not a number")      << method_ctl::Rate   << "nan"         << "nan"         << "0.00";
        QTest::newRow("volume infinite")        << method_ctl::Volume << "inf"         << "inf"         << "0.0000";
        QTest::newRow("wait beyond the range")  << method_ctl::Wait   << "99999999999" << "99999999999" << "2147483";
        // clang-format on
    }
    void typing() {
        QFETCH(int, field);
        QFETCH(QString, typed);
        QFETCH(QString, shown);
        QFETCH(QString, stored);
        UiFixture f;
        f.set_pump_size(0);  // "4": at most 400.02 uL per minute
        MethodWindow* w = open_method(f, {}, "");
        click(f, w, method_ctl::Aspirate);
        type(f, w, field, typed);
        QCOMPARE(text(w, field), shown);
        const Row row = texts(f.sys.method_table[0]);
        QCOMPARE(row[field == method_ctl::Volume ? 1 : field == method_ctl::Rate ? 2 : 3], stored);
        for (const QString& t : row) QVERIFY(t.size() <= static_cast<int>(StepText::kMax));
        if (typed == "100000") QCOMPARE(f.sys.step.rate_ul_per_sec, 400.0 / 60.0);
        QCOMPARE(lines(w)[0], QString::fromStdString(method_row_line(f.sys.method_table[0], 0)));
    }

    // Showing a row in Edit mode writes it back in canonical form through the fields.
    void showingARow_data() {
        QTest::addColumn<Row>("row");
        QTest::addColumn<Row>("written");
        QTest::addColumn<int>("radio");
        QTest::addColumn<QString>("position");
        QTest::addColumn<QString>("direction");
        // clang-format off
        QTest::newRow("pump row")
            << Row{"aspirate", "100", "50", "2", "yes"} << Row{"Aspirate", "100.0000", "50.00", "2", "true"}
            << int(method_ctl::Aspirate) << "" << "";
        QTest::newRow("rate above the maximum")
            << Row{"Dispense", "10", "1000", "0", "false"} << Row{"Dispense", "10.0000", "400.00", "0", "false"}
            << int(method_ctl::Dispense) << "" << "";
        QTest::newRow("negative wait, shown as none")
            << Row{"Wash", "5", "20", "-5", "false"} << Row{"Wash", "5.0000", "20.00", "0", "false"}
            << int(method_ctl::Wash) << "" << "";
        QTest::newRow("Mix decodes as a valve without direction")
            << Row{"Mix", "3", "50", "0", "false"} << Row{"Multi Valve", "3", "", "0", "false"}
            << int(method_ctl::MultiPos) << "3" << "";
        QTest::newRow("empty row")
            << Row{"", "", "", "", ""} << Row{"", "0.0000", "0.00", "0", "false"} << 0 << "" << "";
        // clang-format on
    }
    void showingARow() {
        QFETCH(Row, row);
        QFETCH(Row, written);
        QFETCH(int, radio);
        QFETCH(QString, position);
        QFETCH(QString, direction);
        UiFixture f;
        f.set_pump_size(0);
        MethodWindow* w = open_method(f, {row});
        edit(f, w);
        QCOMPARE(texts(f.sys.method_table[0]), written);
        QCOMPARE(checked_radio(w), radio);
        QCOMPARE(text(w, method_ctl::Position), position);
        QCOMPARE(text(w, method_ctl::Direction), direction);
        QCOMPARE(selected(w), 0);
    }

    // A radio button refills the valve lists but not the fields.
    void actionButtons() {
        UiFixture f;
        MethodWindow* w = open_method(
            f, {{"Dispense", "20", "30", "4", "true"}, {"Multi Valve", "3", "CW", "0", "false"}});
        edit(f, w);
        click(f, w, method_ctl::TwoPos);
        key_down(f, w, method_ctl::Position);
        QCOMPARE(texts(f.sys.method_table[0]), (Row{"2 Pos.Valve", "2", "Short", "4", "true"}));
        click(f, w, method_ctl::Down);
        key_down(f, w, method_ctl::Direction);
        click(f, w, method_ctl::StepEvent);
        QCOMPARE(texts(f.sys.method_table[1]), (Row{"Multi Valve", "3", "CCW", "0", "true"}));
        // The fields still read the pump row's texts, but the step's volume and rate are
        // those decoded from the valve row.
        click(f, w, method_ctl::Aspirate);
        QCOMPARE(text(w, method_ctl::Volume), QString("20.0000"));
        QCOMPARE(texts(f.sys.method_table[1]), (Row{"Aspirate", "0.0000", "0.00", "0", "true"}));
    }

    // The current row stays where it was: the new empty row, the copy, the row moved up.
    void rowOperations_data() {
        QTest::addColumn<int>("operation");
        QTest::addColumn<QStringList>("actions");
        QTest::addColumn<int>("radio");
        // clang-format off
        QTest::newRow("Insert")    << int(method_ctl::Insert)    << QStringList{"Aspirate", "", "Dispense", "2 Pos.Valve"}         << 0;
        QTest::newRow("Duplicate") << int(method_ctl::Duplicate) << QStringList{"Aspirate", "Dispense", "Dispense", "2 Pos.Valve"} << int(method_ctl::Dispense);
        QTest::newRow("Delete")    << int(method_ctl::Delete)    << QStringList{"Aspirate", "2 Pos.Valve", "", ""}                 << int(method_ctl::TwoPos);
        // clang-format on
    }
    void rowOperations() {
        QFETCH(int, operation);
        QFETCH(QStringList, actions);
        QFETCH(int, radio);
        UiFixture f;
        MethodWindow* w = open_method(f, kThreeSteps);
        edit(f, w);
        click(f, w, method_ctl::Down);
        click(f, w, operation);
        QCOMPARE(f.sys.run.current_step.load(), 1);
        QCOMPARE(selected(w), 1);
        QCOMPARE(checked_radio(w), radio);
        const QStringList shown = lines(w);
        QCOMPARE(shown.size(), 99);
        for (int i = 0; i < actions.size(); ++i) {
            QCOMPARE(QString::fromStdString(f.sys.method_table[i].action_text.str()), actions[i]);
            QCOMPARE(shown[i], QString::fromStdString(method_row_line(f.sys.method_table[i], i)));
        }
    }

    void endEditKeepsOnlyValidRows() {
        UiFixture f;
        MethodWindow* w = open_method(f, {}, "");
        for (const int r : {1, 3})
            f.sys.method_table[r] = step({"Multi Valve", "4", "CW", "0", "false"});
        f.sys.method_table[2] = step({"Dispense", "5", "0", "0", "false"});
        f.take_pump_queue();
        click(f, w, method_ctl::EndEdit);
        QCOMPARE(f.sys.run.step_count.load(), 2);
        QCOMPARE(text(w, method_ctl::Status), QString("Status: Idle"));
        const QStringList shown = lines(w);
        QCOMPARE(shown.size(), 2);
        QVERIFY(shown[0].startsWith(" 1   Multi Valve") && shown[1].startsWith(" 2   Multi Valve"));
        QCOMPARE(selected(w), -1);
        QCOMPARE(f.take_pump_queue(), QStringList{"SSTP"});
        QVERIFY(f.sys.document.method_modified);
        QVERIFY(!UiFixture::control<QWidget>(w, method_ctl::EndEdit)->isEnabled());
    }

    // Run, Reset, Event and Edit by mode; an Event press is lost while anything moves.
    void commandsByMode_data() {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<int>("command");
        QTest::addColumn<QString>("moving");
        QTest::addColumn<int>("mode_after");
        QTest::addColumn<bool>("event_flag");
        QTest::addColumn<QStringList>("queued");
        QTest::addColumn<QString>("message");
        const int idle = static_cast<int>(MethodRunMode::Idle);
        const int active = static_cast<int>(MethodRunMode::Active);
        const int editing = static_cast<int>(MethodRunMode::Editing);
        const QStringList none;
        const QStringList sstp{"SSTP"};
        // clang-format off
        for (const int id : {method_ctl::Run, method_ctl::Reset, method_ctl::Event, method_ctl::Edit})
            QTest::addRow("%d while editing", id) << "editing" << id << "" << editing << false << none << "";
        QTest::newRow("Edit while running")  << "active" << int(method_ctl::Edit)  << ""      << active << false << none
                                             << "fyi: Please click on Reset before editing";
        QTest::newRow("Run while running")   << "active" << int(method_ctl::Run)   << ""      << active << false << none << "";
        QTest::newRow("Reset while running") << "active" << int(method_ctl::Reset) << ""      << idle   << false << sstp << "";
        QTest::newRow("Reset while idle")    << "idle"   << int(method_ctl::Reset) << ""      << idle   << false << sstp << "";
        QTest::newRow("Event, all still")    << "idle"   << int(method_ctl::Event) << ""      << idle   << true  << none << "";
        QTest::newRow("Event, pump moving")  << "idle"   << int(method_ctl::Event) << "pump"  << idle   << false << none << "";
        QTest::newRow("Event, valve moving") << "idle"   << int(method_ctl::Event) << "valve" << idle   << false << none << "";
        // clang-format on
    }
    void commandsByMode() {
        QFETCH(QString, mode);
        QFETCH(int, command);
        QFETCH(QString, moving);
        QFETCH(int, mode_after);
        QFETCH(bool, event_flag);
        QFETCH(QStringList, queued);
        QFETCH(QString, message);
        UiFixture f;
        MethodWindow* w = open_method(f, kThreeSteps);
        if (mode == "active") w->command(method_ctl::Run);
        if (mode == "editing") edit(f, w);
        f.settle();
        f.take_pump_queue();
        f.sys.comm.pump_moving = moving == "pump";
        f.sys.comm.valve_busy = moving == "valve";
        click(f, w, command);
        // A lost press stays lost once all is still again.
        f.sys.comm.pump_moving = false;
        f.sys.comm.valve_busy = false;
        QCOMPARE(static_cast<int>(f.sys.run.mode.load()), mode_after);
        QCOMPARE(f.sys.run.event_flag.load(), event_flag);
        QCOMPARE(f.take_pump_queue(), queued);
        QCOMPARE(f.presenter.shown, message.isEmpty() ? QStringList{} : QStringList{message});
        if (mode == "editing") {
            QCOMPARE(f.sys.run.current_step.load(), 0);
            QCOMPARE(f.sys.run.step_count.load(), 99);
        }
    }

    void closing_data() {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<bool>("modified");
        QTest::addColumn<int>("answer");
        QTest::addColumn<bool>("escape");
        QTest::addColumn<bool>("closes");
        QTest::addColumn<QStringList>("queued");
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("asked");
        const int yes = static_cast<int>(Answer::Yes);
        const int no = static_cast<int>(Answer::No);
        const int cancel = static_cast<int>(Answer::Cancel);
        const QStringList none;
        const QStringList sstp{"SSTP"};
        // clang-format off
        QTest::newRow("Escape is Close")    << "idle"    << false << cancel << true  << true  << sstp << "" << false;
        QTest::newRow("changed, No")        << "idle"    << true  << no     << false << true  << sstp << "" << true;
        QTest::newRow("changed, Cancel")    << "idle"    << true  << cancel << false << false << none << "" << true;
        QTest::newRow("changed, Yes")       << "idle"    << true  << yes    << false << false << none << "" << true;
        QTest::newRow("editing: End Edit")  << "editing" << true  << no     << true  << false << sstp << "" << false;
        QTest::newRow("running")            << "active"  << false << no     << false << false << none
                                            << "!: Please reset the running method first" << false;
        // clang-format on
    }
    void closing() {
        QFETCH(QString, mode);
        QFETCH(bool, modified);
        QFETCH(int, answer);
        QFETCH(bool, escape);
        QFETCH(bool, closes);
        QFETCH(QStringList, queued);
        QFETCH(QString, message);
        QFETCH(bool, asked);
        MainRecorder main;
        QWidget main_widget;
        UiFixture f;
        f.windows.set(WindowId::Main, &main_widget, &main);
        QPointer<MethodWindow> w = open_method(f, kThreeSteps);
        if (mode == "active") w->command(method_ctl::Run);
        if (mode == "editing") edit(f, w);
        f.sys.document.method_modified = modified;
        f.presenter.answer = static_cast<Answer>(answer);
        f.take_pump_queue();
        if (escape)
            QTest::keyClick(w, Qt::Key_Escape);
        else
            click(f, w, method_ctl::Close);
        f.settle();

        QCOMPARE(w.isNull(), closes);
        QCOMPARE(f.open(WindowId::Method), !closes);
        QCOMPARE(f.take_pump_queue(), queued);
        QCOMPARE(f.presenter.shown, message.isEmpty() ? QStringList{} : QStringList{message});
        const QStringList question{"?: Do you want to save this method before closing?"};
        QCOMPARE(f.presenter.asked, asked ? question : QStringList{});
        const bool saving = answer == static_cast<int>(Answer::Yes) && asked;
        QCOMPARE(main.commands, saving ? QList<int>{cmd::Save} : QList<int>{});
        QCOMPARE(f.sys.document.close_after_save, saving);
        if (closes) {
            QCOMPARE(f.sys.run.mode.load(), MethodRunMode::None);
            QCOMPARE(f.sys.run.step_count.load(), 0);
            QCOMPARE(f.sys.run.current_step.load(), -1);
        }
        if (mode == "editing") QCOMPARE(f.sys.run.mode.load(), MethodRunMode::Idle);
        if (saving) {
            // The save, once written, posts Close: the window closes without asking again.
            f.sys.document.method_modified = false;
            f.bridge.post_command(WindowId::Method, cmd::MethodClose);
            f.settle();
            QVERIFY(w.isNull());
            QCOMPARE(f.presenter.asked.size(), 1);
            QCOMPARE(f.take_pump_queue(), QStringList{"SSTP"});
        }
        f.windows.clear(WindowId::Main, &main_widget);
    }

    // Outside Edit mode the selection stays on the running row; in Edit mode a click picks
    // the row to edit, and a selection the runner posted before is ignored.
    void selection_data() {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<int>("clicked");  // -1: a late selection of line 2 instead
        QTest::addColumn<int>("row_after");
        QTest::newRow("idle, click") << "idle" << 1 << -1;
        QTest::newRow("running, click") << "active" << 2 << 1;
        QTest::newRow("editing, click") << "editing" << 0 << 0;
        QTest::newRow("editing, late selection") << "editing" << -1 << 1;
    }
    void selection() {
        QFETCH(QString, mode);
        QFETCH(int, clicked);
        QFETCH(int, row_after);
        UiFixture f;
        MethodWindow* w = open_method(f, kThreeSteps);
        if (mode == "active") {
            w->command(method_ctl::Run);
            f.sys.run.current_step = 1;  // as the runner leaves it
            f.bridge.post(WindowId::Method, Note::MethodSelect, 1);
        }
        if (mode == "editing") {
            edit(f, w);
            click(f, w, method_ctl::Down);
        }
        f.settle();
        if (clicked >= 0)
            click_line(f, w, clicked);
        else
            f.bridge.post(WindowId::Method, Note::MethodSelect, 2);
        f.settle();
        QCOMPARE(selected(w), row_after);
        QCOMPARE(f.sys.run.selected_line.load(), row_after);
        QCOMPARE(f.sys.run.current_step.load(), row_after);
        if (mode == "editing")
            QCOMPARE(text(w, method_ctl::RowNumber), QString::number(row_after + 1));
    }

    void lamps_data() {
        QTest::addColumn<int>("activity");
        QTest::addColumn<int>("lit");  // -1 none lit, -2 none drawn
        QTest::newRow("0: none lit") << 0 << -1;
        QTest::newRow("5: Wash") << 5 << int(MethodWindow::Wash);
        QTest::newRow("7: Valve") << 7 << int(MethodWindow::Valve);
        QTest::newRow("8: none drawn") << 8 << -2;
    }
    void lamps() {
        QFETCH(int, activity);
        QFETCH(int, lit);
        UiFixture f;
        MethodWindow* w = open_method(f, kThreeSteps);
        // Another code first, so that this one is a change.
        f.sys.comm.activity = static_cast<PumpActivity>(activity == 4 ? 2 : 4);
        f.bridge.deliver(WindowId::Method, Note::PassDone, 0);
        f.sys.comm.activity = static_cast<PumpActivity>(activity);
        f.bridge.deliver(WindowId::Method, Note::PassDone, 0);
        const QImage image = w->grab().toImage();
        const QColor background = image.pixelColor(w->lamps()[0].topLeft() - QPoint(4, 4));
        for (int i = 0; i < MethodWindow::LampCount; ++i) {
            const QRect r = w->lamps()[i];
            const QColor inside = lit == -2  ? background
                                  : lit == i ? QColor(0, 255, 0)
                                             : QColor(255, 255, 255);
            QCOMPARE(image.pixelColor(r.center()), inside);
            if (lit != -2) QCOMPARE(image.pixelColor(r.topLeft()), QColor(Qt::black));
        }
    }
};

static const RegisterTestClass<MethodWindowTest> registered;

}  // namespace quorvel::uitest

#include "method_window_test.moc"
