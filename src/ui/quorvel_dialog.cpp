#include "quorvel_dialog.h"

#include <QCloseEvent>
#include <QGroupBox>
#include <QKeyEvent>
#include <QPushButton>

namespace quorvel {
namespace {

// Never a default button, so that Enter in a field presses nothing; Qt then leaves Enter
// on a focused button unanswered, yet operators expect it to press as Space does.
class CommandButton final : public QPushButton {
  public:
    CommandButton(const QString& text, QWidget* parent) : QPushButton(text, parent) {
        setAutoDefault(false);
        setDefault(false);
    }

  protected:
    void keyPressEvent(QKeyEvent* e) override {
        if (is_enter(e) && (e->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
            // A held key presses once: each press may queue a pump move. X repeats a held
            // key as a release and a press of one moment, which Qt flags only when it sees
            // both at once; a press at the moment of the last release is such a repeat.
            const bool repeat =
                e->isAutoRepeat() || (e->timestamp() != 0 && e->timestamp() == enter_released_at_);
            if (!repeat) click();
            e->accept();
            return;
        }
        QPushButton::keyPressEvent(e);
    }
    void keyReleaseEvent(QKeyEvent* e) override {
        if (is_enter(e)) enter_released_at_ = e->timestamp();
        QPushButton::keyReleaseEvent(e);
    }

  private:
    static bool is_enter(const QKeyEvent* e) {
        return e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter;
    }

    quint64 enter_released_at_ = 0;  // 0: not known (synthetic events carry no time)
};

}  // namespace

QString control_name(int id) {
    return QStringLiteral("ctl%1").arg(id);
}

QuorvelDialog::QuorvelDialog(AppContext& ctx, WindowId id, QWidget* owner, const QString& caption,
                             int width_du, int height_du, int x_du, int y_du)
    // A title and a close box only: the windows have a designed size, and one that is
    // minimised away is easily taken for closed.
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                         Qt::WindowCloseButtonHint),
      ctx_(ctx),
      du_(dialog_font()),
      id_(id) {
    setAttribute(Qt::WA_DeleteOnClose);
    setModal(false);
    setFont(dialog_font());
    setWindowTitle(caption);
    setFixedSize(du_.x(width_du), du_.y(height_du));
    QPoint origin = owner ? owner->geometry().topLeft() : QPoint();
    move(origin + QPoint(du_.x(x_du), du_.y(y_du)));
    ctx_.windows.set(id_, this, this);
}

QuorvelDialog::~QuorvelDialog() {
    ctx_.windows.clear(id_, this);
}

void QuorvelDialog::command(int id) {
    if (id == cmd::Close) close();
}

void QuorvelDialog::reject() {
    command(cmd::Close);
}

void QuorvelDialog::closeEvent(QCloseEvent* e) {
    if (e->spontaneous()) {
        // The close box is the Close command, which decides and closes. Queued: a close
        // asked for inside this event would be ignored.
        e->ignore();
        QMetaObject::invokeMethod(
            this, [this] { command(cmd::Close); }, Qt::QueuedConnection);
        return;
    }
    // The handle goes with the window at once, as a destroyed window's would: nothing is
    // delivered to it any more, and a new one may be opened right away.
    ctx_.windows.clear(id_, this);
    // Not QDialog's handler: it would reject() (command 2) again and, the window still
    // being visible then, refuse the close.
    e->accept();
}

void QuorvelDialog::place(QWidget* w, int id, int x, int y, int wd, int ht) {
    if (id != 0) w->setObjectName(control_name(id));
    w->setGeometry(du_.rect(x, y, wd, ht));
}

void QuorvelDialog::add_group(const QString& title, int x, int y, int w, int h) {
    auto* g = new QGroupBox(title, this);
    place(g, 0, x, y, w, h);
    g->lower();
}

QPushButton* QuorvelDialog::add_button(int id, const QString& text, int x, int y, int w, int h) {
    auto* b = new CommandButton(text, this);
    place(b, id, x, y, w, h);
    connect(b, &QPushButton::clicked, this, [this, id] { command(id); });
    return b;
}

}  // namespace quorvel
