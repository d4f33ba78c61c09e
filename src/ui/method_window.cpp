#include "method_window.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QFontDatabase>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QScopedValueRollback>
#include <QSignalBlocker>
#include <QStyle>
#include <algorithm>
#include <climits>
#include <cmath>

#include "comm/pump_commands.h"
#include "common/numeric_text.h"
#include "session/system.h"
#include "method/method_list_format.h"
#include "method/method_runner.h"
#include "ui/message_presenter.h"
#include "ui/notification_bridge.h"
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

const QStringList kMultiPositions{"1", "2",  "3",  "4",  "5",  "6",  "7",  "8",
                                  "9", "10", "11", "12", "13", "14", "15", "16"};
const QStringList kMultiDirections{"Short", "CW", "CCW"};
const QStringList kTwoPositions{"A", "B"};
const QStringList kTwoDirections{"Short"};

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

int selected_row(const QListWidget* list) {
    const QList<QListWidgetItem*> items = list->selectedItems();
    return items.isEmpty() ? -1 : list->row(items.first());
}

}  // namespace

MethodWindow::MethodWindow(AppContext& ctx, QWidget* owner)
    : QuorvelDialog(ctx, WindowId::Method, owner, "Method", 400, 214, 20, 20) {
    System& sys = ctx_.sys;
    sys.document.method_modified = false;
    sys.document.close_after_save = false;
    sys.run.current_step.store(-1);
    // The runner reads these mirrors instead of the controls; a new window starts with the
    // box clear and no line selected.
    sys.run.repeat.store(false);
    sys.run.selected_line.store(-1);

    const QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);

    for (std::size_t i = 0; i < lamps_.size(); ++i) {
        const QPoint tl = points_to_pixels(this, kLampPoints[i][0], kLampPoints[i][1]);
        const QPoint br =
            points_to_pixels(this, kLampPoints[i][0] + kLampSize, kLampPoints[i][1] + kLampSize);
        lamps_[i] = QRect(tl, br - QPoint(1, 1));
    }

    auto group = [this](const QString& title, const QRect& r) {
        auto* g = new QGroupBox(title, this);
        g->setGeometry(r);
        g->lower();
        return g;
    };
    auto label = [this](const QString& text, int id, int x, int y, int w, int h) {
        auto* l = new QLabel(text, this);
        place(l, id, x, y, w, h);
        return l;
    };

    group("System Settings", du_.rect(4, 2, 392, 25));
    settings_line_ = label({}, method_ctl::SettingsLine, 10, 13, 380, 10);

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
    group({}, lamp_frame);
    for (std::size_t i = 0; i < lamps_.size(); ++i) {
        lamp_widgets_[i] = new StateLamp(this);
        lamp_widgets_[i]->setObjectName(QStringLiteral("lamp%1").arg(kLampNames[i]));
        lamp_widgets_[i]->setGeometry(lamps_[i].adjusted(0, 0, 1, 1));
    }

    auto button = [this](int id, const QString& text, const QRect& r) {
        QPushButton* b = add_button(id, text, 0, 0, 0, 0);
        b->setGeometry(r);
        return b;
    };

    // Left of the lamps the method's name and mode above the run controls; right of them
    // Event above Edit and Close.
    const int left_end = lamp_frame.left() - du_.x(4);
    const int right_left = lamp_frame.right() + du_.x(4);
    const int right_end = du_.x(396);
    const int upper_bottom = du_.y(58);
    const int lower_top = du_.y(61);
    const int button_h = du_.y(14);
    const int upper_y = band_top + (upper_bottom - band_top - button_h) / 2 + du_.y(1);
    const int lower_y = lower_top + (band_bottom - lower_top - button_h) / 2 + du_.y(1);

    group({}, QRect(QPoint(du_.x(4), band_top), QPoint(left_end, upper_bottom)));
    name_ = label("Method:", method_ctl::Name, 10, 36, 10, 10);
    status_ = label("Status:", method_ctl::Status, 10, 47, 10, 10);
    for (QLabel* l : {name_, status_}) l->setFixedWidth(left_end - l->x() - du_.x(4));

    group({}, QRect(QPoint(du_.x(4), lower_top), QPoint(left_end, band_bottom)));
    button(method_ctl::Run, "Run", QRect(du_.x(10), lower_y, du_.x(36), button_h));
    button(method_ctl::Reset, "Reset", QRect(du_.x(50), lower_y, du_.x(36), button_h));
    repeat_ = new QCheckBox("Repeat", this);
    repeat_->setObjectName(control_name(method_ctl::Repeat));
    repeat_->setGeometry(du_.x(94), lower_y + (button_h - du_.y(10)) / 2,
                         std::max(repeat_->sizeHint().width(), left_end - du_.x(98)), du_.y(10));
    connect(repeat_, &QCheckBox::toggled, this, [this](bool on) { ctx_.sys.run.repeat.store(on); });

    const int button_w = std::min(du_.x(50), (right_end - right_left - du_.x(18)) / 2);
    const int centre = (right_left + right_end) / 2;
    group({}, QRect(QPoint(right_left, band_top), QPoint(right_end, upper_bottom)));
    button(method_ctl::Event, "Event", QRect(centre - button_w / 2, upper_y, button_w, button_h));
    group({}, QRect(QPoint(right_left, lower_top), QPoint(right_end, band_bottom)));
    button(method_ctl::Edit, "Edit",
           QRect(centre - du_.x(3) - button_w, lower_y, button_w, button_h));
    button(method_ctl::Close, "Close", QRect(centre + du_.x(3), lower_y, button_w, button_h));

    // The heading and the step list share the fixed-pitch font, and the heading starts
    // where the list's text starts, so the columns stand under their words.
    list_ = new QListWidget(this);
    list_->setFont(fixed);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    list_->setTextElideMode(Qt::ElideNone);
    list_->setUniformItemSizes(true);
    const int heading_h = QFontMetrics(fixed).height();
    const int heading_y = band_bottom + du_.y(4);
    const int list_top = heading_y + heading_h + 1;
    list_->setObjectName(control_name(method_ctl::StepList));
    list_->setGeometry(du_.x(4), list_top, du_.x(392), du_.y(210) - list_top);
    const int text_margin =
        list_->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, list_) + 1;
    const int text_x = list_->x() + list_->frameWidth() + text_margin;
    auto* heading = new QLabel(kMethodListHeading, this);
    heading->setObjectName(control_name(method_ctl::Heading));
    heading->setFont(fixed);
    heading->setGeometry(text_x, heading_y, du_.x(396) - text_x, heading_h);
    connect(list_, &QListWidget::itemSelectionChanged, this, [this] { list_selection_changed(); });

    build_edit_group();
    row_number_->setFont(fixed);

    show_activity(static_cast<int>(sys.comm.activity.load()));

    ctx_.bridge.post(WindowId::Main, Note::MethodOpened);
    ctx_.bridge.post(WindowId::Method, Note::MethodFill);
    ctx_.bridge.post(WindowId::Method, Note::MethodName);
    // A new method has nothing to run yet: it opens straight into Edit mode, once
    // MethodFill has made the mode Idle.
    if (sys.document.method_title.empty())
        ctx_.bridge.post_command(WindowId::Method, method_ctl::Edit);
}

void MethodWindow::build_edit_group() {
    // Below the normal height: only in view once the main window enlarges the window. Kept
    // well inside 1.5 times that height, which may be reckoned before the frame is known.
    edit_group_ = new QGroupBox("Method Edit", this);
    place(edit_group_, 0, 4, 216, 392, 86);
    edit_group_->lower();

    add_button(method_ctl::Up, "Up", 10, 227, 24, 14);
    row_number_ = new QLabel(this);
    row_number_->setAlignment(Qt::AlignCenter);
    place(row_number_, method_ctl::RowNumber, 36, 229, 20, 10);
    add_button(method_ctl::Down, "Dn", 58, 227, 24, 14);
    add_button(method_ctl::Insert, "Insert", 10, 245, 72, 14);
    add_button(method_ctl::Duplicate, "Duplicate", 10, 261, 72, 14);
    add_button(method_ctl::Delete, "Delete", 10, 277, 72, 14);

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

    auto label = [this](const QString& text, int x, int y, int w) {
        place(new QLabel(text, this), 0, x, y, w, 10);
    };
    auto field = [this](int id, int x, int y, int w) {
        auto* f = new QLineEdit(this);
        f->setAlignment(Qt::AlignRight);
        place(f, id, x, y, w, 12);
        return f;
    };
    label("uL.", 166, 231, 34);
    volume_ = field(method_ctl::Volume, 202, 230, 64);
    label("uL/min.", 166, 245, 34);
    rate_ = field(method_ctl::Rate, 202, 244, 64);
    label("Wait", 276, 231, 22);
    wait_ = field(method_ctl::Wait, 300, 230, 40);
    wait_->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]*"), wait_));
    step_event_ = new QCheckBox("Event", this);
    place(step_event_, method_ctl::StepEvent, 276, 245, 60, 10);

    label("Position", 166, 269, 34);
    position_ = new QComboBox(this);
    place(position_, method_ctl::Position, 202, 268, 64, 12);
    label("Direction", 166, 283, 34);
    direction_ = new QComboBox(this);
    place(direction_, method_ctl::Direction, 202, 282, 64, 12);

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

void MethodWindow::set_edit_enabled(bool on) {
    // Out of view outside Edit mode; disabled there too, so no key reaches it unseen.
    for (QWidget* w : findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (w->y() >= edit_group_->y()) w->setEnabled(on);
    }
}

bool MethodWindow::editing() const {
    return ctx_.sys.run.mode.load() == MethodRunMode::Editing;
}

// --- the step list ---------------------------------------------------------------------

void MethodWindow::fill_list(int n) {
    const std::vector<std::string> lines = render_method_list(ctx_.sys.method_table, n);
    const int count = static_cast<int>(lines.size());
    {
        QScopedValueRollback guard(selecting_, true);
        if (list_->count() == count) {
            // Lines changed in place keep the list where the operator scrolled it.
            for (int i = 0; i < count; ++i)
                list_->item(i)->setText(QString::fromStdString(lines[i]));
        } else {
            list_->clear();
            for (const std::string& line : lines) list_->addItem(QString::fromStdString(line));
        }
    }
    // The runner only reports a change of row: outside Edit mode the list must stand on
    // the current row by itself.
    if (!editing()) select_line(ctx_.sys.run.current_step.load());
}

void MethodWindow::render_row(int r) {
    if (QListWidgetItem* item = list_->item(r)) {
        item->setText(QString::fromStdString(render_method_row(ctx_.sys.method_table, r)));
    }
    select_line(r);
}

void MethodWindow::select_line(int r) {
    QScopedValueRollback guard(selecting_, true);
    if (r >= 0 && r < list_->count()) {
        list_->setCurrentRow(r);
    } else {
        list_->clearSelection();
        list_->setCurrentRow(-1);
    }
}

void MethodWindow::list_selection_changed() {
    const int row = selected_row(list_);
    ctx_.sys.run.selected_line.store(row);
    if (selecting_ || closed_) return;
    MethodRun& run = ctx_.sys.run;
    if (editing() && row >= 0) {
        run.current_step.store(row);
        ctx_.bridge.post(WindowId::Method, Note::MethodShowRow);
    } else {
        // Outside Edit mode the runner moves the selection, not the operator.
        select_line(run.current_step.load());
    }
}

// --- notifications ---------------------------------------------------------------------

void MethodWindow::notify(Note note, int) {
    if (closed_) return;
    System& sys = ctx_.sys;
    switch (note) {
        case Note::MethodFill:
            fill_list(sys.run.step_count.load());
            set_run_mode(sys, MethodRunMode::Idle);
            break;
        case Note::MethodName:
            show_name();
            break;
        case Note::MethodMode:
            show_mode();
            break;
        case Note::PassDone: {
            // Every pass notifies; only a new activity code is worth painting.
            const int activity = static_cast<int>(sys.comm.activity.load());
            if (activity != shown_activity_) show_activity(activity);
            break;
        }
        case Note::MethodShowRow:
            if (editing()) show_current_row();
            break;
        case Note::StatusLine:
            settings_line_->setText(QString::fromStdString(sys.comm.status_line()));
            break;
        case Note::MethodSelect:
            // Posted before Edit mode began, it arrives late: the rows are the operator's now.
            if (!editing()) select_line(sys.run.current_step.load());
            break;
        default:
            break;
    }
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

// --- commands --------------------------------------------------------------------------

void MethodWindow::command(int id) {
    if (closed_) return;
    System& sys = ctx_.sys;
    // Run, Reset, Event and Edit would disturb the rows being edited.
    if (id >= 4001 && id <= 4099 && editing()) return;
    switch (id) {
        case method_ctl::Run:
            set_run_mode(sys, MethodRunMode::Active);
            break;
        case method_ctl::Reset:
            set_run_mode(sys, MethodRunMode::Idle);
            break;
        case method_ctl::Event:
            // A press while something moves is lost: the runner could not tell it from a
            // press meant for the next Event step.
            if (!sys.comm.pump_moving.load() && !sys.comm.valve_busy.load())
                sys.run.event_flag.store(true);
            break;
        case method_ctl::Edit:
            edit();
            break;
        case method_ctl::EndEdit:
            if (editing()) end_edit();
            break;
        case method_ctl::Up:
            step_row(-1);
            break;
        case method_ctl::Down:
            step_row(1);
            break;
        case method_ctl::Insert:
        case method_ctl::Duplicate:
        case method_ctl::Delete:
            row_operation(id);
            break;
        case method_ctl::Close:
        case cmd::Close:
            close_window();
            break;
        default:
            break;
    }
}

void MethodWindow::edit() {
    System& sys = ctx_.sys;
    MethodRun& run = sys.run;
    const MethodRunMode mode = run.mode.load();
    if (mode == MethodRunMode::Active) {
        ctx_.presenter.message(this, "Please click on Reset before editing", "fyi");
        return;
    }
    if (mode != MethodRunMode::Idle) return;
    sys.document.method_modified = true;
    for (int r = std::clamp(run.step_count.load(), 0, kMethodRows); r < kMethodRows; ++r)
        sys.method_table[r].clear();
    run.step_count.store(kMethodRows);
    fill_list(kMethodRows);
    set_run_mode(sys, MethodRunMode::Editing);
    set_edit_enabled(true);
    ctx_.bridge.post(WindowId::Main, Note::MethodEditHeight);
    run.current_step.store(0);
    ctx_.bridge.post(WindowId::Method, Note::MethodShowRow);
}

void MethodWindow::end_edit() {
    System& sys = ctx_.sys;
    set_run_mode(sys, MethodRunMode::Idle);
    sys.run.step_count.store(compact_method(sys.method_table));
    set_edit_enabled(false);
    fill_list(sys.run.step_count.load());
    ctx_.bridge.post(WindowId::Main, Note::MethodNormalHeight);
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

void MethodWindow::close_window() {
    System& sys = ctx_.sys;
    MethodRun& run = sys.run;
    const MethodRunMode mode = run.mode.load();
    if (mode == MethodRunMode::Active) {
        ctx_.presenter.message(this, "Please reset the running method first", "!");
        return;
    }
    if (mode == MethodRunMode::Editing) {
        // Edit mode ends first, compacting the rows; a second Close closes.
        ctx_.bridge.post_command(WindowId::Method, method_ctl::EndEdit);
        return;
    }
    if (sys.document.method_modified) {
        const QPointer<MethodWindow> alive(this);
        const Answer a =
            ctx_.presenter.question(this, "Do you want to save this method before closing?", "?");
        if (!alive || closed_) return;
        if (a == Answer::Yes) {
            // The save posts Close again once it has written the file.
            sys.document.close_after_save = true;
            ctx_.bridge.post_command(WindowId::Main, cmd::Save);
            return;
        }
        if (a != Answer::No) return;
    }
    send_pump_command(sys.comm, PumpCommand::SSTP);
    run.step_count.store(0);
    run.current_step.store(-1);
    set_run_mode(sys, MethodRunMode::None);
    closed_ = true;
    QuorvelDialog::command(cmd::Close);
}

// --- Edit mode -------------------------------------------------------------------------

void MethodWindow::show_current_row() {
    System& sys = ctx_.sys;
    const int cur = sys.run.current_step.load();
    if (cur < 0 || cur >= kMethodRows) return;
    if (selected_row(list_) != cur) select_line(cur);
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
