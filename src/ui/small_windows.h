#pragma once
// The main window's four small windows: the first notice and About text, the
// communication error, the initialisation progress and the pump speed. Window thread.

#include <QString>

#include "ui/quorvel_dialog.h"

class QLabel;
class QLineEdit;
class QProgressBar;

namespace quorvel {

inline constexpr const char* kVersionTitle = "Quorvel Version 1.0.5e";

extern const char* const kFirstNotice;
extern const char* const kAboutText;
extern const char* const kPumpTimeoutText;
extern const char* const kValveTimeoutText;
extern const char* const kNoErrorText;

// The small windows' controls.
namespace small_ctl {
inline constexpr int ErrorText = 5000;
inline constexpr int FirstText = 6000;
inline constexpr int StatusRpm = 7000;
}  // namespace small_ctl

enum class ErrorSelector { None, PumpTimeout, ValveTimeout };

class FirstWindow final : public QuorvelDialog {
  public:
    FirstWindow(AppContext& ctx, QWidget* owner);
    void notify(Note note, int param) override;
    QString text() const;

  private:
    QLabel* text_;
};

class ErrorWindow final : public QuorvelDialog {
  public:
    ErrorWindow(AppContext& ctx, QWidget* owner, ErrorSelector selector);
    QString text() const;

  private:
    QLabel* text_;
};

// Shared by every Init window of a run: only the first one to close opens the Test window.
struct InitWindowState {
    bool test_after_first_initialisation = true;
    // A method named on the command line opens instead of the Test window: Open is refused
    // while the start-up initialisation runs, and the two windows exclude each other.
    bool method_instead_of_test = false;
    // A method handed over during an initialisation opens when it is over.
    bool method_after_initialisation = false;
};

class InitWindow final : public QuorvelDialog {
  public:
    InitWindow(AppContext& ctx, QWidget* owner, InitWindowState& state);
    void notify(Note note, int param) override;
    void command(int id) override;
    int progress() const;

  private:
    InitWindowState& state_;
    QProgressBar* bar_;
};

class StatusWindow final : public QuorvelDialog {
  public:
    StatusWindow(AppContext& ctx, QWidget* owner);
    void notify(Note note, int param) override;
    QString text() const;

  private:
    QLineEdit* rpm_;
};

// The Status window's figure: revolutions per minute from the nominal value of the pump
// size, "0.00" while the pump is still.
QString status_rpm_text(bool pump_moving, double flow_ul_per_sec, int pump_size);

}  // namespace quorvel
