#include "pump_test_window.h"

#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <algorithm>
#include <cmath>
#include <optional>

#include "comm/pump_commands.h"
#include "common/numeric_text.h"
#include "session/system.h"
#include "ui/message_presenter.h"
#include "ui/state_lamp.h"

namespace quorvel {
namespace {

const QStringList kVolumeItems{"Nanoliter", "Microliter", "Milliliter"};
const QStringList kTimeItems{"Second", "Minute", "Hour"};
const char* const kWaitForInitialisation =
    "Please wait until the pump initialisation has finished.";

// Lamp corners in points from the client area's top-left corner, 8 points square.
constexpr std::array<double, 4> kLampX{54, 121, 188, 255};
constexpr double kLampY = 175;
constexpr double kLampSize = 8;

QComboBox* unit_list(QWidget* parent, const QStringList& items, int selected) {
    auto* box = new QComboBox(parent);
    box->addItems(items);
    box->setCurrentIndex(selected);
    return box;
}

}  // namespace

QString format_test_value(double v) {
    return QString::fromStdString(std::fmod(v, 1.0) == 0.0 ? format_fixed(v, 4, 0)
                                                           : format_fixed(v, 4, 2));
}

TestWindow::TestWindow(AppContext& ctx, QWidget* owner)
    : QuorvelDialog(ctx, WindowId::Test, owner, "Test", 260, 190, 20, 20) {
    const TestState& t = ctx_.sys.test;

    // Lamp geometry, once, from the display's resolution.
    for (std::size_t i = 0; i < lamps_.size(); ++i) {
        const QPoint tl = points_to_pixels(this, kLampX[i], kLampY);
        const QPoint br = points_to_pixels(this, kLampX[i] + kLampSize, kLampY + kLampSize);
        lamps_[i] = QRect(tl, br - QPoint(1, 1));
    }

    add_group("System Settings", 3, 6, 254, 30);
    add_group("Flow Rate", 3, 42, 254, 34);
    add_group("Fixed Volume", 3, 84, 254, 34);
    add_group("Pump State", 3, 126, 254, 34);
    add_lamps();

    settings_line_ = new QLabel(this);
    place(settings_line_, test_ctl::SettingsLine, 7, 20, 244, 10);
    build_flow_rate();
    build_fixed_volume();
    label_lamps();
    build_buttons();
    connect_choices();

    ctx_.sys.comm.current_flow_ul_per_sec.store(
        flow_to_ul_per_sec(t.flow_value, t.flow_volume_unit, t.flow_time_unit));
    show_activity(ctx_.sys.comm.activity.load());
    opening_ = false;
}

void TestWindow::add_lamps() {
    for (std::size_t i = 0; i < lamps_.size(); ++i) {
        lamp_widgets_[i] = new StateLamp(this);
        lamp_widgets_[i]->setObjectName(QStringLiteral("lamp%1").arg(i));
        // The outline is one pixel outside the rectangle on the right and at the bottom.
        lamp_widgets_[i]->setGeometry(lamps_[i].adjusted(0, 0, 1, 1));
    }
}

void TestWindow::label_lamps() {
    // Each label sits just left of its lamp, clear of the lamp before it: a label lying
    // over a lamp would be repainted with it.
    const char* names[] = {"Ready", "Dispensing", "Aspirating", "Wait"};
    for (std::size_t i = 0; i < lamps_.size(); ++i) {
        auto* label = new QLabel(names[i], this);
        label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        const int right = lamps_[i].left() - du_.x(3);
        const int left =
            std::max(right - du_.x(44), i == 0 ? 0 : lamp_widgets_[i - 1]->geometry().right() + 1);
        label->setGeometry(left, lamps_[i].center().y() - du_.y(5), right - left, du_.y(10));
    }
}

void TestWindow::build_flow_rate() {
    const TestState& t = ctx_.sys.test;
    flow_field_ = new QLineEdit(format_test_value(t.flow_value), this);
    place(flow_field_, test_ctl::FlowRate, 40, 56, 38, 12);
    flow_field_->installEventFilter(this);
    flow_volume_unit_ = unit_list(this, kVolumeItems, static_cast<int>(t.flow_volume_unit));
    place(flow_volume_unit_, test_ctl::FlowVolumeUnit, 100, 56, 50, 12);
    flow_time_unit_ = unit_list(this, kTimeItems, static_cast<int>(t.flow_time_unit));
    place(flow_time_unit_, test_ctl::FlowTimeUnit, 172, 56, 46, 12);
}

void TestWindow::build_fixed_volume() {
    const TestState& t = ctx_.sys.test;
    fixed_field_ = new QLineEdit(format_test_value(t.fixed_volume), this);
    place(fixed_field_, test_ctl::FixedVolume, 40, 98, 38, 12);
    fixed_unit_ = unit_list(this, kVolumeItems, static_cast<int>(t.fixed_volume_unit));
    place(fixed_unit_, test_ctl::FixedVolumeUnit, 100, 98, 50, 12);
    // The label is the box's own text, so clicking the word ticks the box.
    enable_ = new QCheckBox("Enable", this);
    place(enable_, test_ctl::Enable, 206, 98, 44, 12);
}

void TestWindow::build_buttons() {
    add_button(test_ctl::Dispense, "Dispense", 15, 170, 44, 12);
    add_button(test_ctl::Aspirate, "Aspirate", 75, 170, 44, 12);
    add_button(test_ctl::Stop, "Stop", 135, 170, 44, 12);
    // A click on Quit leaves the focus where it is: the flow field must not check a half
    // typed rate on its way out.
    add_button(cmd::Close, "Quit", 195, 170, 44, 12)->setFocusPolicy(Qt::TabFocus);
}

void TestWindow::connect_choices() {
    connect(flow_volume_unit_, &QComboBox::currentIndexChanged, this,
            [this](int i) { flow_unit_changed(flow_volume_unit_, i); });
    connect(flow_time_unit_, &QComboBox::currentIndexChanged, this,
            [this](int i) { flow_unit_changed(flow_time_unit_, i); });
    connect(fixed_field_, &QLineEdit::textChanged, this, [this](const QString& text) {
        if (!opening_) ctx_.sys.test.fixed_volume = narrow_typed_value(text.left(49).toStdString());
    });
    connect(fixed_unit_, &QComboBox::currentIndexChanged, this, [this](int i) {
        if (!opening_) ctx_.sys.test.fixed_volume_unit = static_cast<VolumeUnit>(i);
    });
}

bool TestWindow::eventFilter(QObject* watched, QEvent* event) {
    // A window on its way out takes its focus with it; that is no entry to check.
    if (watched == flow_field_ && event->type() == QEvent::FocusOut && !opening_ && !closing_) {
        flow_field_left();
    }
    return QuorvelDialog::eventFilter(watched, event);
}

void TestWindow::refuse(double rate, FlowCheckPlace place) {
    if (auto message = flow_check(rate, ctx_.sys.calibration(), place)) {
        ctx_.presenter.message(this, QString::fromStdString(*message), "fyi");
    }
}

void TestWindow::flow_field_left() {
    TestState& t = ctx_.sys.test;
    const double v = narrow_typed_value(flow_field_->text().left(49).toStdString());
    const double r = flow_to_ul_per_sec(v, t.flow_volume_unit, t.flow_time_unit);
    if (flow_check(r, ctx_.sys.calibration(), FlowCheckPlace::FlowField)) {
        flow_field_->setText(QString::fromStdString(format_fixed(t.flow_value, 4, 4)));
        refuse(r, FlowCheckPlace::FlowField);
        return;
    }
    t.flow_value = v;
    ctx_.sys.comm.current_flow_ul_per_sec.store(r);
}

void TestWindow::flow_unit_changed(QComboBox* box, int index) {
    if (opening_ || reverting_) return;
    TestState& t = ctx_.sys.test;
    VolumeUnit volume = t.flow_volume_unit;
    TimeUnit time = t.flow_time_unit;
    if (box == flow_volume_unit_)
        volume = static_cast<VolumeUnit>(index);
    else
        time = static_cast<TimeUnit>(index);
    // The number in the field is read in the new unit, not converted.
    const double r = flow_to_ul_per_sec(t.flow_value, volume, time);
    if (flow_check(r, ctx_.sys.calibration(), FlowCheckPlace::Other)) {
        reverting_ = true;
        box->setCurrentIndex(box == flow_volume_unit_ ? static_cast<int>(t.flow_volume_unit)
                                                      : static_cast<int>(t.flow_time_unit));
        reverting_ = false;
        refuse(r, FlowCheckPlace::Other);
        return;
    }
    t.flow_volume_unit = volume;
    t.flow_time_unit = time;
    ctx_.sys.comm.current_flow_ul_per_sec.store(r);
}

void TestWindow::move(int id) {
    // A move sent now would be stored in the monitor program being entered, not done.
    if (ctx_.sys.comm.init_stage.load() != InitStage::None) {
        ctx_.presenter.message(this, kWaitForInitialisation, "fyi");
        return;
    }
    const MoveKind kind = id == test_ctl::Dispense ? MoveKind::Dispense : MoveKind::Aspirate;
    const double rate = ctx_.sys.comm.current_flow_ul_per_sec.load();
    // Tested against the limits in force now: the Setup window may have changed them.
    if (flow_check(rate, ctx_.sys.calibration(), FlowCheckPlace::Other)) {
        refuse(rate, FlowCheckPlace::Other);
        return;
    }
    const TestState& t = ctx_.sys.test;
    if (enable_->isChecked()) {
        const double volume = static_cast<double>(
            static_cast<float>(volume_to_ul(t.fixed_volume, t.fixed_volume_unit)));
        const std::optional<double> accepted = accepted_fixed_volume(volume);
        if (!accepted) {
            ctx_.presenter.message(this, kFixedVolumeRefused, "Error");
            return;
        }
        move_pump_relative(ctx_.sys.comm, rate, *accepted, kind);
    } else {
        slew_pump(ctx_.sys.comm, rate, kind);
    }
}

void TestWindow::command(int id) {
    switch (id) {
        case test_ctl::Dispense:
        case test_ctl::Aspirate:
            move(id);
            break;
        case test_ctl::Stop:
            stop_pump_motion(ctx_.sys.comm);
            break;
        case cmd::Close:
            closing_ = true;
            // Leaving the Test window always stops the pump.
            stop_pump_motion(ctx_.sys.comm);
            QuorvelDialog::command(id);
            break;
        default:
            break;
    }
}

void TestWindow::notify(Note note, int) {
    if (note == Note::PassDone) {
        // Every pass notifies; only a new activity code is worth painting.
        const PumpActivity activity = ctx_.sys.comm.activity.load();
        if (activity != shown_activity_) show_activity(activity);
    } else if (note == Note::StatusLine) {
        settings_line_->setText(QString::fromStdString(ctx_.sys.comm.status_line()));
    }
}

void TestWindow::show_activity(PumpActivity activity) {
    shown_activity_ = activity;
    int lit = -1;
    switch (activity) {
        case PumpActivity::Ready:
            lit = 0;
            break;
        case PumpActivity::Dispense:
            lit = 1;
            break;
        case PumpActivity::Aspirate:
            lit = 2;
            break;
        case PumpActivity::Wait:
            lit = 3;
            break;
        default:
            break;  // wash and valve light nothing here, and no lamp is drawn
    }
    for (std::size_t i = 0; i < lamp_widgets_.size(); ++i) {
        lamp_widgets_[i]->set_lit(static_cast<int>(i) == lit);
        lamp_widgets_[i]->setVisible(lit >= 0);
    }
}

}  // namespace quorvel
