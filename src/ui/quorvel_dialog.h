#pragma once
// The base of every modeless window: it registers its handle while it exists, clears it
// when it is destroyed, and turns Escape and its Close button into command 2.

#include <QDialog>

#include "ui/app_context.h"
#include "ui/dialog_units.h"
#include "ui/window_registry.h"

class QPushButton;

namespace quorvel {

class QuorvelDialog : public QDialog, public NotifiedWindow {
  public:
    QuorvelDialog(AppContext& ctx, WindowId id, QWidget* owner, const QString& caption,
                  int width_du, int height_du, int x_du, int y_du);
    ~QuorvelDialog() override;

    // Any notification this window does not know does nothing.
    void notify(Note, int) override {}
    // Command 2 closes the window; other commands do nothing unless a window says so.
    void command(int id) override;

    WindowId window_id() const { return id_; }

  protected:
    void reject() override;  // Escape, the close box
    void closeEvent(QCloseEvent* e) override;
    // A push button with the given id (objectName "ctl<id>") at a dialog-unit rectangle;
    // it never becomes the default button, so Enter in a field presses nothing, while Enter
    // on the focused button presses it.
    QPushButton* add_button(int id, const QString& text, int x, int y, int w, int h);
    void place(QWidget* w, int id, int x, int y, int wd, int ht);
    // A titled frame behind the controls placed in it.
    void add_group(const QString& title, int x, int y, int w, int h);

    AppContext& ctx_;
    DialogUnits du_;

  private:
    WindowId id_;
};

// The objectName of a control: "ctl" and its identifier.
QString control_name(int id);

}  // namespace quorvel
