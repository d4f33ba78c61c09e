// The Method window's Edit mode: the Method Edit group below the step list, which shows the
// current row decoded and writes every change back to the method table at once.

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QScopedValueRollback>
#include <QSignalBlocker>
#include <algorithm>
#include <climits>
#include <cmath>

#include "common/numeric_text.h"
#include "session/system.h"
#include "ui/method_window.h"
#include "ui/notification_bridge.h"

namespace quorvel {
namespace {

const QStringList kMultiPositions{"1", "2",  "3",  "4",  "5",  "6",  "7",  "8",
                                  "9", "10", "11", "12", "13", "14", "15", "16"};
const QStringList kMultiDirections{"Short", "CW", "CCW"};
const QStringList kTwoPositions{"A", "B"};
const QStringList kTwoDirections{"Short"};

}  // namespace

void MethodWindow::build_edit_group() {
    // Below the normal height: only in view once the main window enlarges the window. Kept
    // well inside 1.5 times that height, which may be reckoned before the frame is known.
    edit_group_ = new QGroupBox("Method Edit", this);
    place(edit_group_, 0, 4, 216, 392, 86);
    edit_group_->lower();

    build_row_buttons();
    build_action_radios();
    build_step_fields();
    add_button(method_ctl::EndEdit, "End Edit", 316, 281, 72, 14);

    connect(volume_, &QLineEdit::textChanged, this, [this] { volume_changed(); });
    connect(rate_, &QLineEdit::textChanged, this, [this] { rate_changed(); });
    connect(wait_, &QLineEdit::textChanged, this, [this] { wait_changed(); });
    connect(step_event_, &QCheckBox::clicked, this, [this](bool on) { event_clicked(on); });
    // activated: the operator's choice only, never a refill or a selection made here.
    connect(position_, &QComboBox::activated, this, [this](int i) { position_chosen(i); });
    connect(direction_, &QComboBox::activated, this, [this](int i) { direction_chosen(i); });

    set_edit_enabled(false);
}

void MethodWindow::build_row_buttons() {
    add_button(method_ctl::Up, "Up", 10, 227, 24, 14);
    row_number_ = new QLabel(this);
    row_number_->setAlignment(Qt::AlignCenter);
    place(row_number_, method_ctl::RowNumber, 36, 229, 20, 10);
    add_button(method_ctl::Down, "Dn", 58, 227, 24, 14);
    add_button(method_ctl::Insert, "Insert", 10, 245, 72, 14);
    add_button(method_ctl::Duplicate, "Duplicate", 10, 261, 72, 14);
    add_button(method_ctl::Delete, "Delete", 10, 277, 72, 14);
}

void MethodWindow::build_action_radios() {
    place(new QGroupBox("Pump", this), 0, 90, 222, 70, 40);
    place(new QGroupBox("Valve", this), 0, 90, 264, 70, 32);
    // One group over both frames: checking any one unchecks the other four.
    actions_ = new QButtonGroup(this);
    auto radio = [this](int id, const QString& text, int y) {
        auto* b = new QRadioButton(text, this);
        place(b, id, 96, y, 60, 10);
        actions_->addButton(b, id);
    };
    radio(method_ctl::Aspirate, "Aspirate", 231);
    radio(method_ctl::Dispense, "Dispense", 241);
    radio(method_ctl::Wash, "Wash", 251);
    radio(method_ctl::MultiPos, "Multi-Pos.", 273);
    radio(method_ctl::TwoPos, "2-Pos.", 284);
    connect(actions_, &QButtonGroup::idClicked, this, [this](int id) { action_clicked(id); });
}

void MethodWindow::build_step_fields() {
    auto field = [this](int id, int x, int y, int w) {
        auto* f = new QLineEdit(this);
        f->setAlignment(Qt::AlignRight);
        place(f, id, x, y, w, 12);
        return f;
    };
    add_label("uL.", 0, 166, 231, 34, 10);
    volume_ = field(method_ctl::Volume, 202, 230, 64);
    add_label("uL/min.", 0, 166, 245, 34, 10);
    rate_ = field(method_ctl::Rate, 202, 244, 64);
    add_label("Wait", 0, 276, 231, 22, 10);
    wait_ = field(method_ctl::Wait, 300, 230, 40);
    wait_->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]*"), wait_));
    step_event_ = new QCheckBox("Event", this);
    place(step_event_, method_ctl::StepEvent, 276, 245, 60, 10);

    add_label("Position", 0, 166, 269, 34, 10);
    position_ = new QComboBox(this);
    place(position_, method_ctl::Position, 202, 268, 64, 12);
    add_label("Direction", 0, 166, 283, 34, 10);
    direction_ = new QComboBox(this);
    place(direction_, method_ctl::Direction, 202, 282, 64, 12);
}

void MethodWindow::set_edit_enabled(bool on) {
    // Out of view outside Edit mode; disabled there too, so no key reaches it unseen.
    for (QWidget* w : findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (w->y() >= edit_group_->y()) w->setEnabled(on);
    }
}

void MethodWindow::step_row(int delta) {
    if (!editing()) return;
    MethodRun& run = ctx_.sys.run;
    const int next = run.current_step.load() + delta;
    if (next < 0 || next > run.step_count.load() - 1) return;
    run.current_step.store(next);
    ctx_.bridge.post(WindowId::Method, Note::MethodShowRow);
}

void MethodWindow::row_operation(int id) {
    if (!editing()) return;
    System& sys = ctx_.sys;
    const int c = sys.run.current_step.load();
    if (id == method_ctl::Insert)
        insert_row(sys.method_table, c);
    else if (id == method_ctl::Duplicate)
        duplicate_row(sys.method_table, c);
    else
        delete_row(sys.method_table, c);
    fill_list(sys.run.step_count.load());
    ctx_.bridge.post(WindowId::Method, Note::MethodShowRow);
}

void MethodWindow::show_current_row() {
    System& sys = ctx_.sys;
    const int cur = sys.run.current_step.load();
    if (cur < 0 || cur >= kMethodRows) return;
    if (selected_line() != cur) select_line(cur);
    edit_step_ = decode_row(sys.method_table[cur]);
    sys.comm.current_flow_ul_per_sec.store(edit_step_.rate_ul_per_sec);
    row_number_->setText(QString::number(cur + 1));
    const StepParams p = edit_step_;
    switch (p.action) {
        case StepAction::Aspirate:
        case StepAction::Dispense:
        case StepAction::Wash:
            set_radio(p.action == StepAction::Aspirate   ? method_ctl::Aspirate
                      : p.action == StepAction::Dispense ? method_ctl::Dispense
                                                         : method_ctl::Wash);
            set_field(volume_, QString::fromStdString(format_fixed(p.volume_ul, 2, 4)));
            set_field(rate_, QString::fromStdString(format_fixed(p.rate_ul_per_sec * 60.0, 0, 2)));
            break;
        case StepAction::MultiValve:
        case StepAction::TwoPosValve: {
            const bool multi = p.action == StepAction::MultiValve;
            set_radio(multi ? method_ctl::MultiPos : method_ctl::TwoPos);
            fill_valve_lists(multi);
            const int pos = p.valve_position - 1;
            const int dir = static_cast<int>(p.valve_direction) - 1;
            position_->setCurrentIndex(pos >= 0 && pos < position_->count() ? pos : -1);
            direction_->setCurrentIndex(dir >= 0 && dir < direction_->count() ? dir : -1);
            break;
        }
        default:
            set_radio(0);
            position_->clear();
            direction_->clear();
            step_event_->setChecked(false);
            set_field(volume_, {});
            set_field(rate_, {});
            set_field(wait_, {});
            return;
    }
    // The field takes digits only: a negative wait read from a file, which the runner
    // treats as none, shows as 0 rather than as a huge unsigned number that would be
    // written back as a wait of days.
    set_field(wait_, QString::number(std::max(0, p.wait_ms / 1000)));
    step_event_->setChecked(p.event);
}

void MethodWindow::set_radio(int id) {
    if (QAbstractButton* b = actions_->button(id)) {
        b->setChecked(true);
        return;
    }
    // An exclusive group never lets its checked button go.
    actions_->setExclusive(false);
    for (QAbstractButton* b : actions_->buttons()) b->setChecked(false);
    actions_->setExclusive(true);
}

void MethodWindow::fill_valve_lists(bool multi) {
    position_->clear();
    position_->addItems(multi ? kMultiPositions : kTwoPositions);
    direction_->clear();
    direction_->addItems(multi ? kMultiDirections : kTwoDirections);
}

void MethodWindow::set_field(QLineEdit* field, const QString& text) {
    {
        const QSignalBlocker quiet(field);
        field->setText(text);
    }
    if (field == volume_)
        volume_changed();
    else if (field == rate_)
        rate_changed();
    else if (field == wait_)
        wait_changed();
}

void MethodWindow::store_current_row() {
    const int cur = ctx_.sys.run.current_step.load();
    if (cur >= 0 && cur < kMethodRows)
        ctx_.sys.method_table[cur] = encode_row(edit_step_, ctx_.sys.method_table[cur]);
    render_row(cur);
}

void MethodWindow::action_clicked(int id) {
    if (!editing()) return;
    StepParams& p = edit_step_;
    switch (id) {
        case method_ctl::Aspirate:
            p.action = StepAction::Aspirate;
            break;
        case method_ctl::Dispense:
            p.action = StepAction::Dispense;
            break;
        case method_ctl::Wash:
            p.action = StepAction::Wash;
            break;
        case method_ctl::MultiPos:
        case method_ctl::TwoPos:
            p.action =
                id == method_ctl::MultiPos ? StepAction::MultiValve : StepAction::TwoPosValve;
            fill_valve_lists(id == method_ctl::MultiPos);
            position_->setCurrentIndex(0);
            direction_->setCurrentIndex(0);
            p.valve_direction = ValveDirection::Short;
            p.valve_position = 1;
            break;
        default:
            return;
    }
    store_current_row();
}

void MethodWindow::volume_changed() {
    if (!editing()) return;
    const double v = c_atof(volume_->text().toStdString());
    // A value whose text would not fit its field, or no number at all, is not taken.
    if (!std::isfinite(v) || !volume_fits_field(v)) return;
    edit_step_.volume_ul = v;
    store_current_row();
}

void MethodWindow::rate_changed() {
    if (!editing()) return;
    const double v = c_atof(rate_->text().toStdString());
    const double max = ctx_.sys.calibration().max_flow_ul_per_min;
    if (v > max) {
        // The replacement is a change of its own and is handled again.
        if (!clamping_) {
            const QScopedValueRollback guard(clamping_, true);
            set_field(rate_, QString::number(static_cast<long long>(std::trunc(max))));
        }
        return;
    }
    const double rate = v / 60.0;
    if (!std::isfinite(rate) || !rate_fits_field(rate)) return;
    edit_step_.rate_ul_per_sec = rate;
    ctx_.sys.comm.current_flow_ul_per_sec.store(rate);
    store_current_row();
}

void MethodWindow::wait_changed() {
    if (!editing()) return;
    // Saturated: a huge wait is a long wait, never a negative one.
    const double ms = std::trunc(c_atof(wait_->text().toStdString()) * 1000.0);
    edit_step_.wait_ms = static_cast<int>(std::clamp(ms, 0.0, static_cast<double>(INT_MAX)));
    store_current_row();
}

void MethodWindow::position_chosen(int index) {
    if (!editing()) return;
    edit_step_.valve_position = index + 1;
    store_current_row();
}

void MethodWindow::direction_chosen(int index) {
    if (!editing()) return;
    edit_step_.valve_direction = static_cast<ValveDirection>(index + 1);
    store_current_row();
}

void MethodWindow::event_clicked(bool checked) {
    if (!editing()) return;
    edit_step_.event = checked;
    store_current_row();
}

}  // namespace quorvel
