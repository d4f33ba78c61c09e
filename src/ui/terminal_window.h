#pragma once
// The Terminal window: every line the pump controller sends, and one line at a time for
// the operator to send to it. Window thread.

#include "ui/quorvel_dialog.h"

class QLineEdit;
class QPlainTextEdit;

namespace quorvel {

// The Terminal window's controls.
namespace terminal_ctl {
inline constexpr int Display = 300;
inline constexpr int Input = 301;
inline constexpr int Send = 302;
}  // namespace terminal_ctl

class TerminalWindow final : public QuorvelDialog {
  public:
    // The display's text limit; when a line would pass it, the whole text goes to the
    // clipboard and the display starts empty.
    static constexpr int kDisplayLimit = 30000;
    static constexpr int kMaxInput = 119;

    TerminalWindow(AppContext& ctx, QWidget* owner);
    void notify(Note note, int param) override;
    void command(int id) override;

    QPlainTextEdit* display() const { return display_; }
    QLineEdit* input() const { return input_; }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void show_waiting_lines();
    void send_input(bool clear_after);

    QPlainTextEdit* display_;
    QLineEdit* input_;
};

}  // namespace quorvel
