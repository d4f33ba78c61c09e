#include "terminal_window.h"

#include <QApplication>
#include <QClipboard>
#include <QEvent>
#include <QFontDatabase>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextCursor>

#include "session/system.h"

namespace quorvel {

TerminalWindow::TerminalWindow(AppContext& ctx, QWidget* owner)
    : QuorvelDialog(ctx, WindowId::Terminal, owner, "Terminal", 300, 190, 40, 30) {
    // Lines that arrived while the window was closed are not shown.
    ctx_.sys.comm.terminal_log.reset();

    auto* in_label = new QLabel("in:", this);
    place(in_label, 0, 6, 8, 20, 10);
    display_ = new QPlainTextEdit(this);
    display_->setReadOnly(true);
    display_->setLineWrapMode(QPlainTextEdit::NoWrap);
    display_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    display_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    display_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    place(display_, terminal_ctl::Display, 28, 6, 266, 146);
    display_->installEventFilter(this);

    auto* out_label = new QLabel("out:", this);
    place(out_label, 0, 6, 160, 20, 10);
    input_ = new QLineEdit(this);
    input_->setMaxLength(kMaxInput);
    place(input_, terminal_ctl::Input, 28, 158, 210, 13);
    add_button(terminal_ctl::Send, "send", 244, 158, 50, 13);
    input_->setFocus();
}

bool TerminalWindow::eventFilter(QObject* watched, QEvent* event) {
    // The display is for reading: whoever clicks it types into the input field.
    if (watched == display_ && event->type() == QEvent::FocusIn) input_->setFocus();
    return QuorvelDialog::eventFilter(watched, event);
}

void TerminalWindow::notify(Note note, int) {
    if (note == Note::TerminalLines) {
        show_waiting_lines();
    } else if (note == Note::TerminalEnter && QApplication::focusWidget() == input_) {
        send_input(true);
    }
}

void TerminalWindow::command(int id) {
    if (id == terminal_ctl::Send) {
        send_input(false);
        return;
    }
    QuorvelDialog::command(id);
}

void TerminalWindow::show_waiting_lines() {
    bool shown = false;
    for (const std::string& line : ctx_.sys.comm.terminal_log.take_waiting()) {
        if (line.empty()) continue;  // consumed, not shown
        shown = true;
        const QString text = QString::fromLatin1(line.data(), static_cast<int>(line.size())) + "\n";
        if (display_->document()->characterCount() + text.size() > kDisplayLimit) {
            QApplication::clipboard()->setText(display_->toPlainText());
            display_->clear();
        }
        // At the end whatever the operator clicked or selected: a reply spliced into an
        // earlier line would misreport what the controller said.
        QTextCursor end(display_->document());
        end.movePosition(QTextCursor::End);
        end.insertText(text);
    }
    if (!shown) return;
    display_->verticalScrollBar()->setValue(display_->verticalScrollBar()->maximum());
    display_->horizontalScrollBar()->setValue(display_->horizontalScrollBar()->minimum());
}

void TerminalWindow::send_input(bool clear_after) {
    // Sent unchanged; an empty line reaches the controller as a lone carriage return.
    const std::string line = input_->text().left(kMaxInput).toStdString();
    enqueue_command(ctx_.sys.comm, line, ctx_.sys.comm.pump);
    if (clear_after) input_->clear();
    input_->setFocus();
}

}  // namespace quorvel
