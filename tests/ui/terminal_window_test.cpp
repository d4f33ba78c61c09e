// The Terminal window: the controller's lines as they arrive, and typed lines to the pump.

#include "ui/terminal_window.h"

#include <QApplication>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextCursor>

#include "ui_fixture.h"

namespace quorvel::uitest {

class TerminalWindowTest : public QObject {
    Q_OBJECT

  private:
    static TerminalWindow* open_terminal(UiFixture& f) {
        f.main->command(cmd::Terminal);
        return f.window<TerminalWindow>(WindowId::Terminal);
    }
    // The controller sends bytes; one pass of the communication thread reads them.
    static void controller_sends(UiFixture& f, const char* bytes) {
        f.pump_port->feed(bytes);
        f.pass();
        f.settle();
    }

  private slots:
    void openingDiscardsEarlierLines() {
        UiFixture f;
        std::string early;
        for (int i = 0; i < 30; ++i) early += "early " + std::to_string(i) + "\r\n";
        controller_sends(f, early.c_str());
        TerminalWindow* t = open_terminal(f);
        QVERIFY(t);
        f.settle();
        QCOMPARE(t->display()->toPlainText(), QString());
        controller_sends(f, "later\r\n");
        QCOMPARE(t->display()->toPlainText(), QStringLiteral("later\n"));
    }

    void showsWaitingLines_data() {
        QTest::addColumn<QString>("bytes");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QString>("then");  // added by a later "next" line
        QTest::newRow("one line") << "ble=1\r\n"
                                  << "ble=1\n"
                                  << "next\n";
        QTest::newRow("several in one pass") << "a\r\nb\r\nc\r\n"
                                             << "a\nb\nc\n"
                                             << "next\n";
        QTest::newRow("empty lines consumed") << "a\r\n\r\nb\r\n\r\n"
                                              << "a\nb\n"
                                              << "next\n";
        QTest::newRow("only empty lines") << "\r\n\r\n"
                                          << ""
                                          << "next\n";
        QTest::newRow("unfinished line waits") << "a\r\npar"
                                               << "a\n"
                                               << "parnext\n";
    }
    void showsWaitingLines() {
        QFETCH(QString, bytes);
        QFETCH(QString, shown);
        QFETCH(QString, then);
        UiFixture f;
        TerminalWindow* t = open_terminal(f);
        controller_sends(f, qPrintable(bytes));
        QCOMPARE(t->display()->toPlainText(), shown);
        // Lines already shown are not shown again by a later notification.
        f.bridge.post(WindowId::Terminal, Note::TerminalLines, 0);
        f.settle();
        QCOMPARE(t->display()->toPlainText(), shown);
        controller_sends(f, "next\r\n");
        QCOMPARE(t->display()->toPlainText(), shown + then);
    }

    // Where the operator clicked or what they selected never splits a line: replies go at
    // the end, and the selection stays for copying.
    void replyLandsAtTheEnd_data() {
        QTest::addColumn<int>("anchor");
        QTest::addColumn<int>("position");
        QTest::newRow("caret at the start") << 0 << 0;
        QTest::newRow("caret inside a line") << 2 << 2;
        QTest::newRow("part of a line selected") << 1 << 4;
        QTest::newRow("selection across lines") << 3 << 9;
    }
    void replyLandsAtTheEnd() {
        QFETCH(int, anchor);
        QFETCH(int, position);
        UiFixture f;
        TerminalWindow* t = open_terminal(f);
        controller_sends(f, "first\r\nsecond\r\n");
        QTextCursor caret = t->display()->textCursor();
        caret.setPosition(anchor);
        caret.setPosition(position, QTextCursor::KeepAnchor);
        t->display()->setTextCursor(caret);
        const QString selected = caret.selectedText();

        controller_sends(f, "third\r\n");
        QCOMPARE(t->display()->toPlainText(), QStringLiteral("first\nsecond\nthird\n"));
        QCOMPARE(t->display()->textCursor().selectedText(), selected);
    }

    void enterSendsTheFocusedInput() {
        UiFixture f;
        TerminalWindow* t = open_terminal(f);
        QVERIFY(UiFixture::activate(t));
        QCOMPARE(QApplication::focusWidget(), t->input());
        QTest::keyClicks(t->input(), "print pos");
        QTest::keyClick(t->input(), Qt::Key_Return);
        f.settle();
        QCOMPARE(f.take_pump_queue(), QStringList{"print pos"});
        QCOMPARE(t->input()->text(), QString());
        // The keypad's Enter too, and an empty line is still a line for the controller.
        QTest::keyClick(t->input(), Qt::Key_Enter);
        f.settle();
        QCOMPARE(f.take_pump_queue(), QStringList{""});
    }

    void enterInAnotherWindowSendsNothing() {
        UiFixture f;
        TerminalWindow* t = open_terminal(f);
        QTest::keyClicks(t->input(), "SSTP");
        f.main->command(cmd::About);
        QWidget* first = f.window(WindowId::First);
        QVERIFY(UiFixture::activate(first));
        QWidget* target = QApplication::focusWidget() ? QApplication::focusWidget() : first;
        QVERIFY(target->window() == first);
        QTest::keyClick(target, Qt::Key_Return);
        f.settle();
        QVERIFY(f.take_pump_queue().isEmpty());
        QCOMPARE(t->input()->text(), QStringLiteral("SSTP"));

        QVERIFY(UiFixture::activate(t));
        QTest::keyClick(t->input(), Qt::Key_Return);
        f.settle();
        QCOMPARE(f.take_pump_queue(), QStringList{"SSTP"});
    }

    void sendButtonKeepsTheText() {
        UiFixture f;
        TerminalWindow* t = open_terminal(f);
        auto* send = UiFixture::control<QPushButton>(t, 302);
        QVERIFY(send);
        QTest::keyClicks(t->input(), "VM=2");
        QTest::mouseClick(send, Qt::LeftButton);
        QTest::mouseClick(send, Qt::LeftButton);
        QCOMPARE(t->input()->text(), QStringLiteral("VM=2"));
        t->input()->clear();
        QTest::mouseClick(send, Qt::LeftButton);
        f.settle();
        QCOMPARE(f.take_pump_queue(), (QStringList{"VM=2", "VM=2", ""}));
    }

    void inputIsLimitedTo119Characters() {
        UiFixture f;
        TerminalWindow* t = open_terminal(f);
        QTest::keyClicks(t->input(), QString(130, 'x'));
        QTest::mouseClick(UiFixture::control<QPushButton>(t, 302), Qt::LeftButton);
        QCOMPARE(f.take_pump_queue(), QStringList{QString(119, 'x')});
    }
};

static const RegisterTestClass<TerminalWindowTest> registered;

}  // namespace quorvel::uitest

#include "terminal_window_test.moc"
