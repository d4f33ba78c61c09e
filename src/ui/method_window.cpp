#include "method_window.h"

#include <QFontDatabase>
#include <QGroupBox>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <algorithm>

#include "comm/pump_commands.h"
#include "method/method_runner.h"
#include "session/method_check.h"
#include "session/system.h"
#include "ui/message_presenter.h"
#include "ui/notification_bridge.h"

namespace quorvel {

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
    measure_lamps();
    add_frame("System Settings", du_.rect(4, 2, 392, 25));
    settings_line_ = add_label({}, method_ctl::SettingsLine, 10, 13, 380, 10);
    const Band band = build_lamp_panel();
    build_run_controls(band);
    build_step_list(fixed, band.bottom);
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

QGroupBox* MethodWindow::add_frame(const QString& title, const QRect& r) {
    auto* g = new QGroupBox(title, this);
    g->setGeometry(r);
    g->lower();
    return g;
}

QLabel* MethodWindow::add_label(const QString& text, int id, int x, int y, int w, int h) {
    auto* l = new QLabel(text, this);
    place(l, id, x, y, w, h);
    return l;
}

QPushButton* MethodWindow::add_button_at(int id, const QString& text, const QRect& r) {
    QPushButton* b = add_button(id, text, 0, 0, 0, 0);
    b->setGeometry(r);
    return b;
}

bool MethodWindow::editing() const {
    return ctx_.sys.run.mode.load() == MethodRunMode::Editing;
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

// --- commands --------------------------------------------------------------------------

void MethodWindow::command(int id) {
    if (closed_) return;
    System& sys = ctx_.sys;
    // Run, Reset, Event and Edit would disturb the rows being edited.
    if (id >= 4001 && id <= 4099 && editing()) return;
    switch (id) {
        case method_ctl::Run:
            start_run();
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

void MethodWindow::start_run() {
    System& sys = ctx_.sys;
    // A method read from a file has never met the edit fields' limits.
    if (const auto fault =
            check_method(sys.method_table, sys.run.step_count.load(), sys.calibration())) {
        ctx_.presenter.message(this, QString::fromStdString(*fault), "Error");
        return;
    }
    set_run_mode(sys, MethodRunMode::Active);
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
        const Answer a = ctx_.presenter.question(this, kSaveBeforeClosing, "?");
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

}  // namespace quorvel
