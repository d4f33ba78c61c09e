// The Test window: its entries, the flow window of the pump size, the moves and the lamps.

#include "ui/pump_test_window.h"

#include <QCheckBox>
#include <QComboBox>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <cstdlib>
#include <utility>

#include "ui_fixture.h"

namespace quorvel::uitest {

// Records the name (or else the class) of each widget as it is painted.
struct PaintRecorder final : QObject {
    PaintRecorder() { qApp->installEventFilter(this); }
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            const QString name = watched->objectName();
            painted << (name.isEmpty() ? watched->metaObject()->className() : name);
        }
        return false;
    }
    QStringList painted;
};

class PumpTestWindowTest : public QObject {
    Q_OBJECT

  private:
    static TestWindow* open_test(UiFixture& f) {
        f.main->command(cmd::Test);
        auto* w = f.window<TestWindow>(WindowId::Test);
        if (!w) return nullptr;
        return UiFixture::activate(w) ? w : nullptr;
    }
    static QLineEdit* edit(QWidget* w, int id) { return UiFixture::control<QLineEdit>(w, id); }
    static QComboBox* combo(QWidget* w, int id) { return UiFixture::control<QComboBox>(w, id); }
    static void type_into(QLineEdit* field, const QString& text) {
        field->setFocus();
        field->selectAll();
        QTest::keyClicks(field, text);
    }
    // Types a rate and leaves the field, as the operator does.
    static void enter_flow(QWidget* w, const QString& text) {
        type_into(edit(w, 2004), text);
        edit(w, 2008)->setFocus();
    }
    static void click(QWidget* w, int id) {
        auto* button = UiFixture::control<QPushButton>(w, id);
        QVERIFY(button);
        QTest::mouseClick(button, Qt::LeftButton);
    }

  private slots:
    void openingShowsTheKeptEntries() {
        UiFixture f;
        f.sys.comm.publish_status_line("Pump:100    Gearbox:KR-TVN1");
        TestWindow* w = open_test(f);
        QVERIFY(w);
        QCOMPARE(edit(w, 2004)->text(), QStringLiteral("  10"));
        QCOMPARE(edit(w, 2008)->text(), QStringLiteral("  10"));
        const auto items = [w](int id) {
            QStringList out;
            for (int i = 0; i < combo(w, id)->count(); ++i) out << combo(w, id)->itemText(i);
            return out;
        };
        const QStringList volumes{"Nanoliter", "Microliter", "Milliliter"};
        QCOMPARE(items(2002), volumes);
        QCOMPARE(items(2009), volumes);
        QCOMPARE(items(2003), (QStringList{"Second", "Minute", "Hour"}));
        QCOMPARE(combo(w, 2002)->currentText(), QStringLiteral("Microliter"));
        QCOMPARE(combo(w, 2003)->currentText(), QStringLiteral("Minute"));
        QCOMPARE(f.sys.comm.current_flow_ul_per_sec.load(), 10.0 / 60.0);
        QVERIFY(!UiFixture::control<QCheckBox>(w, 2010)->isChecked());
        // The settings line waits for the next rebuilt status line.
        auto* settings = UiFixture::control<QLabel>(w, 2011);
        QCOMPARE(settings->text(), QString());
        f.bridge.post(WindowId::Test, Note::StatusLine, 0);
        f.settle();
        QCOMPARE(settings->text(), QStringLiteral("Pump:100    Gearbox:KR-TVN1"));

        // Entries survive closing; Enable does not.
        UiFixture::control<QCheckBox>(w, 2010)->setChecked(true);
        type_into(edit(w, 2008), "2.5");
        combo(w, 2009)->setCurrentIndex(0);
        enter_flow(w, "20");
        click(w, cmd::Close);
        f.settle();
        QVERIFY(!f.open(WindowId::Test));
        f.sys.comm.current_flow_ul_per_sec = 1.0;
        w = open_test(f);
        QVERIFY(w);
        QCOMPARE(edit(w, 2004)->text(), QStringLiteral("  20"));
        QCOMPARE(edit(w, 2008)->text(), QStringLiteral("2.50"));
        QCOMPARE(combo(w, 2009)->currentText(), QStringLiteral("Nanoliter"));
        QVERIFY(!UiFixture::control<QCheckBox>(w, 2010)->isChecked());
        QCOMPARE(f.sys.comm.current_flow_ul_per_sec.load(), 20.0 / 60.0);
    }

    void flowField_data() {
        QTest::addColumn<int>("size");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<double>("stored");
        const QString refused_max4 = "Maximum flow rate is 6.667000 ul./sec.";
        QTest::newRow("above the size 4 maximum")
            << 0 << "500" << refused_max4 << "10.0000" << 10.0;
        QTest::newRow("zero on size 4") << 0 << "0"
                                        << "Minimum flow rate is 0.000003 ul./sec."
                                        << "10.0000" << 10.0;
        QTest::newRow("zero on size 100") << 1 << "0"
                                          << "Minimum flow rate is 0.000083 ul./sec."
                                          << "10.0000" << 10.0;
        QTest::newRow("not a number") << 1 << "abc"
                                      << "Minimum flow rate is 0.000083 ul./sec."
                                      << "10.0000" << 10.0;
        QTest::newRow("500 on size 100") << 1 << "500"
                                         << ""
                                         << "500" << 500.0;
        QTest::newRow("single precision") << 1 << "0.1"
                                          << ""
                                          << "0.1" << static_cast<double>(0.1f);
    }
    void flowField() {
        QFETCH(int, size);
        QFETCH(QString, typed);
        QFETCH(QString, message);
        QFETCH(QString, shown);
        QFETCH(double, stored);
        UiFixture f;
        f.set_pump_size(size);
        TestWindow* w = open_test(f);
        QVERIFY(w);
        enter_flow(w, typed);
        QCOMPARE(f.presenter.shown, fyi(message));
        QCOMPARE(edit(w, 2004)->text(), shown);
        QVERIFY2(f.sys.test.flow_value == stored,
                 qPrintable(QString::number(f.sys.test.flow_value, 'g', 17)));
        QVERIFY(f.sys.comm.current_flow_ul_per_sec.load() == stored / 60.0);
    }

    void fixedVolumeIsSinglePrecision() {
        UiFixture f;
        TestWindow* w = open_test(f);
        QVERIFY(w);
        type_into(edit(w, 2008), "0.1");
        QVERIFY(f.sys.test.fixed_volume == static_cast<double>(0.1f));
        QVERIFY(f.sys.test.fixed_volume != 0.1);
    }

    void flowUnits_data() {
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("list");
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("message");
        QTest::addColumn<double>("rate");
        const QString refused = "Maximum flow rate is   7 ul./sec.";
        QTest::newRow("Milliliter on size 4") << 0 << 2002 << 2 << refused << 10.0 / 60.0;
        QTest::newRow("per Second on size 4") << 0 << 2003 << 0 << refused << 10.0 / 60.0;
        QTest::newRow("per Hour on size 4") << 0 << 2003 << 2 << "" << 10.0 / 3600.0;
        QTest::newRow("Nanoliter on size 100") << 1 << 2002 << 0 << "" << 10.0e-3 / 60.0;
        QTest::newRow("Milliliter on size 100") << 1 << 2002 << 2 << "" << 10.0e3 / 60.0;
    }
    void flowUnits() {
        QFETCH(int, size);
        QFETCH(int, list);
        QFETCH(int, index);
        QFETCH(QString, message);
        QFETCH(double, rate);
        UiFixture f;
        f.set_pump_size(size);
        TestWindow* w = open_test(f);
        QVERIFY(w);
        QComboBox* box = combo(w, list);
        const int before = box->currentIndex();
        box->setCurrentIndex(index);
        QCOMPARE(f.presenter.shown, fyi(message));
        QCOMPARE(box->currentIndex(), message.isEmpty() ? index : before);
        QCOMPARE(f.sys.comm.current_flow_ul_per_sec.load(), rate);
        const int kept = list == 2002 ? static_cast<int>(f.sys.test.flow_volume_unit)
                                      : static_cast<int>(f.sys.test.flow_time_unit);
        QCOMPARE(kept, box->currentIndex());
        // The number itself is read in the new unit, never converted.
        QCOMPARE(edit(w, 2004)->text(), QStringLiteral("  10"));
    }

    void buttons_data() {
        QTest::addColumn<bool>("enable");
        QTest::addColumn<int>("button");
        QTest::addColumn<QStringList>("queued");
        QTest::newRow("dispense 1.5 mL")
            << true << 2005 << QStringList{"VM=0.16666667", "MOVR=1500.00000000"};
        QTest::newRow("aspirate 1.5 mL")
            << true << 2006 << QStringList{"VM=0.16666667", "MOVR=-1500.00000000"};
        QTest::newRow("dispense continuously") << false << 2005 << QStringList{"SLEW=0.16666667"};
        QTest::newRow("aspirate continuously") << false << 2006 << QStringList{"SLEW=-0.16666667"};
        QTest::newRow("stop") << false << 2007 << QStringList{"SSTP"};
        QTest::newRow("quit while idle") << false << cmd::Close << QStringList{"SSTP"};
        // Sent now, a move would be stored in the monitor program being entered.
        QTest::newRow("dispense while initialising") << false << -2005 << QStringList{};
    }
    void buttons() {
        QFETCH(bool, enable);
        QFETCH(int, button);
        QFETCH(QStringList, queued);
        UiFixture f;
        TestWindow* w = open_test(f);
        QVERIFY(w);
        const bool initialising = button < 0;
        button = std::abs(button);
        if (initialising) f.sys.comm.init_stage = InitStage::ControllerSetup;
        type_into(edit(w, 2008), "1.5");
        combo(w, 2009)->setCurrentIndex(2);
        UiFixture::control<QCheckBox>(w, 2010)->setChecked(enable);
        click(w, button);
        f.settle();
        QCOMPARE(f.take_pump_queue(), queued);
        QCOMPARE(
            f.presenter.shown,
            fyi(initialising ? "Please wait until the pump initialisation has finished." : ""));
        QCOMPARE(f.open(WindowId::Test), button != cmd::Close);
        QCOMPARE(f.sys.comm.pump_moving.load(),
                 !initialising && (button == 2005 || button == 2006));
    }

    // A fixed volume the controller's move line cannot carry as meant is refused before
    // anything is queued; -0 goes out with the button's sign alone.
    void fixedVolume_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<int>("button");
        QTest::addColumn<QStringList>("queued");
        QTest::newRow("negative, dispense") << "-5" << 2005 << QStringList{};
        QTest::newRow("-0, aspirate")
            << "-0" << 2006 << QStringList{"VM=0.16666667", "MOVR=-0.00000000"};
    }
    void fixedVolume() {
        QFETCH(QString, typed);
        QFETCH(int, button);
        QFETCH(QStringList, queued);
        UiFixture f;
        TestWindow* w = open_test(f);
        QVERIFY(w);
        type_into(edit(w, 2008), typed);
        UiFixture::control<QCheckBox>(w, 2010)->setChecked(true);
        click(w, button);
        QCOMPARE(f.take_pump_queue(), queued);
        QCOMPARE(f.sys.comm.pump_moving.load(), !queued.isEmpty());
        QCOMPARE(f.presenter.shown, queued.isEmpty()
                                        ? QStringList{QString("Error: ") + kFixedVolumeRefused}
                                        : QStringList{});
    }

    // Enter presses the focused button once, as Space does, however long it is held; in a
    // field it presses nothing.
    void enterKey_data() {
        QTest::addColumn<int>("control");
        QTest::addColumn<int>("key");
        QTest::addColumn<QStringList>("queued");
        QTest::newRow("Return on Dispense")
            << 2005 << int(Qt::Key_Return) << QStringList{"SLEW=0.16666667"};
        QTest::newRow("keypad Enter on Aspirate")
            << 2006 << int(Qt::Key_Enter) << QStringList{"SLEW=-0.16666667"};
        QTest::newRow("Return in the flow field") << 2004 << int(Qt::Key_Return) << QStringList{};
    }
    void enterKey() {
        QFETCH(int, control);
        QFETCH(int, key);
        QFETCH(QStringList, queued);
        UiFixture f;
        TestWindow* w = open_test(f);
        QVERIFY(w);
        QWidget* target = UiFixture::control(w, control);
        QVERIFY(target);
        target->setFocus();
        const auto modifiers = key == Qt::Key_Enter ? Qt::KeypadModifier : Qt::NoModifier;
        QTest::keyClick(target, static_cast<Qt::Key>(key), modifiers);
        QKeyEvent repeat(QEvent::KeyPress, key, modifiers, "\r", true);
        QApplication::sendEvent(target, &repeat);
        f.settle();
        QCOMPARE(f.take_pump_queue(), queued);
        QVERIFY(f.open(WindowId::Test));
    }

    // The word is the box's own text, with the room to be clicked on.
    void enableLabelTicksTheBox() {
        UiFixture f;
        TestWindow* w = open_test(f);
        QVERIFY(w);
        auto* enable = UiFixture::control<QCheckBox>(w, 2010);
        QCOMPARE(enable->text(), QStringLiteral("Enable"));
        // Where the word is drawn in all the room the box asks for.
        QStyleOptionButton option;
        option.initFrom(enable);
        option.rect = QRect(QPoint(), enable->sizeHint());
        option.text = enable->text();
        const QRect word =
            enable->style()->subElementRect(QStyle::SE_CheckBoxContents, &option, enable);
        QTest::mouseClick(enable, Qt::LeftButton, {}, word.center());
        QVERIFY(enable->isChecked());
    }

    // Quitting with a rate typed that would be refused: the window goes without a word and
    // the rate in force stays.
    void quittingWithARefusedRate() {
        UiFixture f;
        f.set_pump_size(0);
        TestWindow* w = open_test(f);
        QVERIFY(w);
        type_into(edit(w, 2004), "500");
        QCOMPARE(QApplication::focusWidget(), edit(w, 2004));
        click(w, cmd::Close);
        f.settle();
        QVERIFY(!f.open(WindowId::Test));
        QVERIFY2(f.presenter.shown.isEmpty(), qPrintable(f.presenter.shown.join('|')));
        QCOMPARE(f.take_pump_queue(), QStringList{"SSTP"});
        QCOMPARE(f.sys.test.flow_value, 10.0);
    }

    void moveWhileMovingQueuesAgain() {
        UiFixture f;
        TestWindow* w = open_test(f);
        QVERIFY(w);
        click(w, 2005);
        click(w, 2005);
        QCOMPARE(f.take_pump_queue(), (QStringList{"SLEW=0.16666667", "SLEW=0.16666667"}));
    }

    // A rate accepted under one pump size is checked again under the limits in force.
    void moveCheckedAgainstTheCurrentCalibration() {
        UiFixture f;
        TestWindow* w = open_test(f);
        QVERIFY(w);
        enter_flow(w, "500");
        QVERIFY(f.presenter.shown.isEmpty());
        f.set_pump_size(0);
        for (const int button : {2005, 2006}) {
            f.presenter.shown.clear();
            click(w, button);
            QCOMPARE(f.presenter.shown, fyi("Maximum flow rate is   7 ul./sec."));
        }
        QVERIFY(f.take_pump_queue().isEmpty());
        QVERIFY(!f.sys.comm.pump_moving.load());
    }

    // Notified on every pass, the lamps repaint only when the activity code changes, and
    // then only the lamps that change, never what lies behind them.
    void lampsRepaintOnlyOnAChange() {
        UiFixture f;
        f.sys.comm.activity = PumpActivity::Ready;
        TestWindow* w = open_test(f);
        QVERIFY(w);
        f.settle();
        PaintRecorder paints;
        const auto pass = [&](PumpActivity activity) {
            f.sys.comm.activity = activity;
            f.bridge.post(WindowId::Test, Note::PassDone, 0);
            f.settle();
            paints.painted.removeDuplicates();
            paints.painted.sort();
            return std::exchange(paints.painted, {});
        };
        QCOMPARE(pass(PumpActivity::Ready), QStringList{});
        QCOMPARE(pass(PumpActivity::Dispense), (QStringList{"lamp0", "lamp1"}));
    }

    // Left alone, the caret stops blinking, so nothing is drawn; a key brings the blink back.
    void caretRestsWhenLeftAlone() {
        UiFixture f;
        TestWindow* w = open_test(f);
        QVERIFY(w);
        auto* field = f.control<QLineEdit>(w, test_ctl::FlowRate);
        QTest::keyClick(field, Qt::Key_End);
        const int blink = QApplication::cursorFlashTime();
        QVERIFY(blink > 0);
        UiFixture::app().set_caret_rest_ms(1);
        QTRY_COMPARE(QApplication::cursorFlashTime(), 0);
        QTest::keyClick(field, Qt::Key_5);
        QCOMPARE(QApplication::cursorFlashTime(), blink);
        QVERIFY(field->text().endsWith("105"));  // the key also reached the field
        UiFixture::app().set_caret_rest_ms(QuorvelApplication::kCaretRestMs);
    }

    void lamps_data() {
        QTest::addColumn<int>("activity");
        QTest::addColumn<int>("lit");
        QTest::newRow("ready") << static_cast<int>(PumpActivity::Ready) << 0;
        QTest::newRow("dispensing") << static_cast<int>(PumpActivity::Dispense) << 1;
        QTest::newRow("aspirating") << static_cast<int>(PumpActivity::Aspirate) << 2;
        QTest::newRow("waiting") << static_cast<int>(PumpActivity::Wait) << 3;
        QTest::newRow("washing") << static_cast<int>(PumpActivity::Wash) << -1;
        QTest::newRow("valve") << static_cast<int>(PumpActivity::Valve) << -1;
    }
    void lamps() {
        QFETCH(int, activity);
        QFETCH(int, lit);
        UiFixture f;
        TestWindow* w = open_test(f);
        QVERIFY(w);
        f.sys.comm.activity = static_cast<PumpActivity>(activity);
        f.bridge.post(WindowId::Test, Note::PassDone, 0);
        f.settle();
        const QImage image = w->grab().toImage();
        for (int i = 0; i < 4; ++i) {
            const QRect lamp = w->lamps()[i];
            const QString centre = image.pixelColor(lamp.center()).name();
            if (lit >= 0) {
                QCOMPARE(centre, QString(i == lit ? "#00ff00" : "#ffffff"));
                // The one-pixel outline runs through both corners of the rectangle's extent.
                for (const QPoint corner : {lamp.topLeft(), lamp.bottomRight() + QPoint(1, 1)})
                    QCOMPARE(image.pixelColor(corner).name(), QStringLiteral("#000000"));
                QCOMPARE(image.pixelColor(lamp.topLeft() + QPoint(1, 1)).name(), centre);
            } else {
                // Nothing drawn: no outline, no fill, just what lies beneath.
                QCOMPARE(image.pixelColor(lamp.topLeft()).name(), centre);
                QVERIFY2(centre != "#00ff00" && centre != "#ffffff", qPrintable(centre));
            }
        }
    }
};

static const RegisterTestClass<PumpTestWindowTest> registered;

}  // namespace quorvel::uitest

#include "pump_test_window_test.moc"
