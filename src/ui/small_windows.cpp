#include "small_windows.h"

#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <utility>

#include "common/numeric_text.h"
#include "session/system.h"
#include "ui/notification_bridge.h"

namespace quorvel {

const char* const kFirstNotice =
    "This program is intended to be used to setup, test, and demonstrate the Zelmarq Tamsel "
    "pump. It is not intended for use in a production environment. This software is provided "
    "\"as is,\" and is being distributed as a pre-beta release as a convenience to our "
    "customers. This program will allow the control of 1 Tamsel pump and 1 Zelmarq Quillex "
    "valve actuator, on separate serial ports.";

const char* const kAboutText =
    "Quorvel Version 1.0.5e\n"
    "Sets up, tests and runs one Tamsel pump and one Quillex selector valve over serial ports.";

const char* const kPumpTimeoutText =
    "Pump communication Timeout Error\nPlease make sure that the power cable and the\n"
    "communication cable are connected to the pump controller,\nthen on the menu, select "
    "'Utility' and then 'Initialize'.";

const char* const kValveTimeoutText =
    "Valve communication Timeout Error\nPlease make sure that the power cable and the\n"
    "communication cable are connected to the valve controller.";

const char* const kNoErrorText = "No Error, why did this box open?";

namespace {

QLabel* centred_text(QWidget* parent, const QString& initial) {
    auto* label = new QLabel(initial, parent);
    label->setAlignment(Qt::AlignCenter);
    label->setWordWrap(true);
    return label;
}

}  // namespace

FirstWindow::FirstWindow(AppContext& ctx, QWidget* owner)
    : QuorvelDialog(ctx, WindowId::First, owner, "fyi", 300, 80, 30, 20) {
    text_ = centred_text(this, "text here");
    place(text_, small_ctl::FirstText, 8, 6, 284, 50);
    add_button(cmd::Close, "Close", 125, 60, 50, 14);
}

void FirstWindow::notify(Note note, int) {
    if (note == Note::ShowNotice) text_->setText(kFirstNotice);
    if (note == Note::ShowAbout) text_->setText(kAboutText);
}

QString FirstWindow::text() const {
    return text_->text();
}

ErrorWindow::ErrorWindow(AppContext& ctx, QWidget* owner, ErrorSelector selector)
    : QuorvelDialog(ctx, WindowId::Error, owner, "Error", 220, 74, 150, 100) {
    text_ = centred_text(this, "no error");
    place(text_, small_ctl::ErrorText, 6, 6, 208, 44);
    add_button(cmd::Close, "Close", 85, 54, 50, 14);
    text_->setText(selector == ErrorSelector::PumpTimeout    ? kPumpTimeoutText
                   : selector == ErrorSelector::ValveTimeout ? kValveTimeoutText
                                                             : kNoErrorText);
}

QString ErrorWindow::text() const {
    return text_->text();
}

InitWindow::InitWindow(AppContext& ctx, QWidget* owner, InitWindowState& state)
    : QuorvelDialog(ctx, WindowId::Init, owner, "Init", 160, 60, 100, 40), state_(state) {
    auto* frame = new QFrame(this);
    frame->setFrameStyle(QFrame::Box | QFrame::Sunken);
    place(frame, 0, 4, 4, 152, 52);
    auto* label = new QLabel("Initializing pump...", this);
    label->setAlignment(Qt::AlignCenter);
    place(label, 0, 10, 10, 140, 10);
    // The bar keeps its designed 220 x 20 logical size at 10, 56 of the client area.
    bar_ = new QProgressBar(this);
    bar_->setObjectName("progress");
    bar_->setRange(0, 26);
    bar_->setValue(0);
    bar_->setTextVisible(false);
    const int width = std::min(220, this->width() - 20);
    bar_->setGeometry(10, std::min(56, this->height() - 26), width, 20);
}

void InitWindow::notify(Note note, int) {
    if (note == Note::InitAdvance) bar_->setValue(std::min(bar_->maximum(), bar_->value() + 1));
}

void InitWindow::command(int id) {
    if (id != cmd::Close) return;
    // Closing does not stop a running initialisation; only the first close opens Test.
    const bool method = std::exchange(state_.method_after_initialisation, false);
    if (state_.test_after_first_initialisation) {
        state_.test_after_first_initialisation = false;
        ctx_.bridge.post_command(WindowId::Main, method || state_.method_instead_of_test
                                                     ? cmd::OpenNamedMethod
                                                     : cmd::Test);
    } else if (method) {
        ctx_.bridge.post_command(WindowId::Main, cmd::OpenNamedMethod);
    }
    close();
}

int InitWindow::progress() const {
    return bar_->value();
}

QString status_rpm_text(bool pump_moving, double flow_ul_per_sec, int pump_size) {
    if (!pump_moving || pump_size < 0 || pump_size >= kPumpSizeCount) return "0.00";
    const double rpm = flow_ul_per_sec / static_cast<double>(NominalUlPerRev[pump_size]) * 60.0;
    return QString::fromStdString(format_fixed(rpm, 4, 4));
}

StatusWindow::StatusWindow(AppContext& ctx, QWidget* owner)
    : QuorvelDialog(ctx, WindowId::Status, owner, "Status", 160, 60, 100, 40) {
    auto* label = new QLabel("RPM", this);
    place(label, 0, 20, 14, 30, 10);
    rpm_ = new QLineEdit(this);
    rpm_->setReadOnly(true);
    rpm_->setAlignment(Qt::AlignRight);
    place(rpm_, small_ctl::StatusRpm, 55, 12, 80, 12);
    add_button(cmd::Close, "Close", 55, 38, 50, 14);
}

void StatusWindow::notify(Note note, int) {
    if (note != Note::PassDone) return;
    const QString rpm =
        status_rpm_text(ctx_.sys.comm.pump_moving.load(),
                        ctx_.sys.comm.current_flow_ul_per_sec.load(), ctx_.sys.settings().pump);
    // Notified on every pass: setting the same figure again would repaint the field 20
    // times a second and drop the operator's selection in it.
    if (rpm != rpm_->text()) rpm_->setText(rpm);
}

QString StatusWindow::text() const {
    return rpm_->text();
}

}  // namespace quorvel
