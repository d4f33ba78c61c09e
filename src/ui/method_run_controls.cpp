// The Method window's band above the step list: the activity lamps in their frame, the
// method's name and mode, and the run controls around them.

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <algorithm>

#include "session/system.h"
#include "ui/message_presenter.h"
#include "ui/method_window.h"
#include "ui/state_lamp.h"

namespace quorvel {
namespace {

// Lamp corners in points from the client area's top-left corner, 8 points square, in the
// order of MethodWindow::Lamp.
constexpr std::array<std::array<double, 2>, MethodWindow::LampCount> kLampPoints{{
    {257, 56},
    {257, 69},
    {315, 56},
    {315, 69},
    {315, 82},
    {315, 95},
}};
constexpr double kLampSize = 8;
const char* const kLampNames[] = {"Ready", "Wait", "Dispense", "Aspirate", "Wash", "Valve"};

// The lamp lit for an activity code; -1 lights none, -2 draws no lamp at all.
int lit_lamp(int activity) {
    switch (activity) {
        case 0:
            return -1;
        case 1:
            return MethodWindow::Aspirate;
        case 2:
            return MethodWindow::Dispense;
        case 3:
            return MethodWindow::Wait;
        case 4:
            return MethodWindow::Ready;
        case 5:
            return MethodWindow::Wash;
        case 6:
        case 7:
            return MethodWindow::Valve;
        default:
            return -2;
    }
}

QString mode_word(MethodRunMode m) {
    switch (m) {
        case MethodRunMode::None:
            return "none";
        case MethodRunMode::Idle:
            return "Idle";
        case MethodRunMode::Active:
            return "Active";
        case MethodRunMode::Editing:
            return "Editing";
    }
    return {};
}

}  // namespace

void MethodWindow::measure_lamps() {
    for (std::size_t i = 0; i < lamps_.size(); ++i) {
        const QPoint tl = points_to_pixels(this, kLampPoints[i][0], kLampPoints[i][1]);
        const QPoint br =
            points_to_pixels(this, kLampPoints[i][0] + kLampSize, kLampPoints[i][1] + kLampSize);
        lamps_[i] = QRect(tl, br - QPoint(1, 1));
    }
}

MethodWindow::Band MethodWindow::build_lamp_panel() {
    // The lamps stand where their points put them, whatever the font; the frames around
    // them give way. Each label sits just left of its lamp, clear of the lamp before it.
    int labels_left = lamps_[Ready].left();
    for (std::size_t i = 0; i < lamps_.size(); ++i) {
        auto* l = new QLabel(kLampNames[i], this);
        l->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        const int right = lamps_[i].left() - du_.x(3);
        const int left_limit = i < Dispense ? 0 : lamps_[Ready].right() + du_.x(3);
        const int left = std::max(left_limit, right - l->sizeHint().width());
        l->setGeometry(left, lamps_[i].center().y() - du_.y(5), right - left, du_.y(10));
        labels_left = std::min(labels_left, left);
    }
    const int band_top = du_.y(29);
    const int band_bottom = std::max(du_.y(91), lamps_[Valve].bottom() + du_.y(5));
    const QRect lamp_frame(
        QPoint(labels_left - du_.x(6), std::min(band_top, lamps_[Ready].top() - du_.y(8))),
        QPoint(lamps_[Valve].right() + du_.x(7), band_bottom));
    add_frame({}, lamp_frame);
    for (std::size_t i = 0; i < lamps_.size(); ++i) {
        lamp_widgets_[i] = new StateLamp(this);
        lamp_widgets_[i]->setObjectName(QStringLiteral("lamp%1").arg(kLampNames[i]));
        lamp_widgets_[i]->setGeometry(lamps_[i].adjusted(0, 0, 1, 1));
    }
    return {band_top, band_bottom, lamp_frame};
}

void MethodWindow::build_run_controls(const Band& band) {
    // Left of the lamps the method's name and mode above the run controls; right of them
    // Event above Edit and Close.
    const int left_end = band.lamp_frame.left() - du_.x(4);
    const int right_left = band.lamp_frame.right() + du_.x(4);
    const int right_end = du_.x(396);
    const int upper_bottom = du_.y(58);
    const int lower_top = du_.y(61);
    const int button_h = du_.y(14);
    const int upper_y = band.top + (upper_bottom - band.top - button_h) / 2 + du_.y(1);
    const int lower_y = lower_top + (band.bottom - lower_top - button_h) / 2 + du_.y(1);

    add_frame({}, QRect(QPoint(du_.x(4), band.top), QPoint(left_end, upper_bottom)));
    name_ = add_label("Method:", method_ctl::Name, 10, 36, 10, 10);
    status_ = add_label("Status:", method_ctl::Status, 10, 47, 10, 10);
    for (QLabel* l : {name_, status_}) l->setFixedWidth(left_end - l->x() - du_.x(4));

    add_frame({}, QRect(QPoint(du_.x(4), lower_top), QPoint(left_end, band.bottom)));
    add_button_at(method_ctl::Run, "Run", QRect(du_.x(10), lower_y, du_.x(36), button_h));
    add_button_at(method_ctl::Reset, "Reset", QRect(du_.x(50), lower_y, du_.x(36), button_h));
    repeat_ = new QCheckBox("Repeat", this);
    repeat_->setObjectName(control_name(method_ctl::Repeat));
    repeat_->setGeometry(du_.x(94), lower_y + (button_h - du_.y(10)) / 2,
                         std::max(repeat_->sizeHint().width(), left_end - du_.x(98)), du_.y(10));
    connect(repeat_, &QCheckBox::toggled, this, [this](bool on) { ctx_.sys.run.repeat.store(on); });

    const int button_w = std::min(du_.x(50), (right_end - right_left - du_.x(18)) / 2);
    const int centre = (right_left + right_end) / 2;
    add_frame({}, QRect(QPoint(right_left, band.top), QPoint(right_end, upper_bottom)));
    add_button_at(method_ctl::Event, "Event",
                  QRect(centre - button_w / 2, upper_y, button_w, button_h));
    add_frame({}, QRect(QPoint(right_left, lower_top), QPoint(right_end, band.bottom)));
    add_button_at(method_ctl::Edit, "Edit",
                  QRect(centre - du_.x(3) - button_w, lower_y, button_w, button_h));
    add_button_at(method_ctl::Close, "Close",
                  QRect(centre + du_.x(3), lower_y, button_w, button_h));
}

void MethodWindow::show_name() {
    const std::string& title = ctx_.sys.document.method_title;
    setWindowTitle(QString::fromStdString(title));
    keep_caption(this, windowTitle());
    const std::string searched = title.substr(0, 255);
    name_->setText("Method: " + QString::fromStdString(searched.substr(0, searched.find('.'))));
}

void MethodWindow::show_mode() {
    status_->setText("Status: " + mode_word(ctx_.sys.run.mode.load()));
}

void MethodWindow::show_activity(int activity) {
    shown_activity_ = activity;
    const int lit = lit_lamp(activity);
    for (std::size_t i = 0; i < lamp_widgets_.size(); ++i) {
        lamp_widgets_[i]->set_lit(static_cast<int>(i) == lit);
        lamp_widgets_[i]->setVisible(lit != -2);
    }
}

}  // namespace quorvel
