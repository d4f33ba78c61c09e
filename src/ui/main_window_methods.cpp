// The main window's method commands that guard what the operator wrote: Save and Save as,
// the save question before the program ends, and methods handed over by a second start.

#include <QFileInfo>
#include <filesystem>
#include <utility>

#include "common/sha256.h"
#include "method/method_file.h"
#include "method/method_runner.h"
#include "session/system.h"
#include "ui/file_dialogs.h"
#include "ui/main_window.h"
#include "ui/message_presenter.h"
#include "ui/method_window.h"
#include "ui/notification_bridge.h"

namespace quorvel {

void MainWindow::save_method() {
    MethodDocument& doc = ctx_.sys.document;
    if (ctx_.sys.run.mode.load() == MethodRunMode::Editing) {
        ctx_.presenter.message(this, "Please exit Edit mode before saving", "fyi");
        return;
    }
    if (doc.method_title.empty()) {
        ctx_.bridge.post_command(WindowId::Main, cmd::SaveAs);
        return;
    }
    if (write_method(doc.method_path)) after_method_saved();
}

void MainWindow::save_method_as() {
    MethodDocument& doc = ctx_.sys.document;
    if (ctx_.sys.run.mode.load() == MethodRunMode::Editing) {
        ctx_.presenter.message(this, "Please exit Edit mode before saving", "fyi");
        return;
    }
    const QString chosen = ctx_.dialogs.save_method(this, QString::fromStdString(doc.method_path));
    if (chosen.isEmpty()) return;
    const std::filesystem::path path = with_method_extension(chosen.toStdString());
    // The dialog asked about the file it returned; another one the name comes to is asked
    // about here.
    std::error_code ec;
    if (path != std::filesystem::path(chosen.toStdString()) &&
        std::filesystem::exists(std::filesystem::symlink_status(path, ec))) {
        const QString name = QString::fromStdString(path.filename().string());
        if (ctx_.presenter.question(this, name + " already exists.\nDo you want to replace it?",
                                    "Confirm Save As") != Answer::Yes)
            return;
    }
    if (!write_method(path.string())) return;
    // The caption and every later Save follow the file written.
    doc.method_path = path.string();
    doc.method_title = path.filename().string();
    ctx_.bridge.post(WindowId::Method, Note::MethodName);
    after_method_saved();
}

// A failed save says so and changes nothing: the method stays marked as changed, and a
// window that was to close after the save stays open.
bool MainWindow::write_method(const std::string& path) {
    std::string error;
    const int rows = ctx_.sys.run.step_count.load();
    if (write_method_file(ctx_.sys.method_table, path, rows, &error)) {
        ctx_.session.set_method_file(path,
                                     sha256_hex(format_method_text(ctx_.sys.method_table, rows)));
        return true;
    }
    ctx_.sys.document.close_after_save = false;
    ctx_.presenter.message(
        this, QString::fromStdString("The method could not be saved to " + path + ": " + error),
        "Error");
    return false;
}

void MainWindow::after_method_saved() {
    MethodDocument& doc = ctx_.sys.document;
    doc.method_modified = false;
    if (doc.close_after_save) ctx_.bridge.post_command(WindowId::Method, cmd::MethodClose);
}

bool MainWindow::method_may_end() {
    MethodDocument& doc = ctx_.sys.document;
    NotifiedWindow* method = ctx_.windows.handler(WindowId::Method);
    if (!method) return true;
    // Edit mode ends first, so that what is asked about is the rows as the operator left them.
    if (ctx_.sys.run.mode.load() == MethodRunMode::Editing) method->command(method_ctl::EndEdit);
    if (!doc.method_modified) return true;
    switch (ctx_.presenter.question(this, kSaveBeforeClosing, "?")) {
        case Answer::Yes:
            if (doc.method_title.empty())
                save_method_as();
            else if (write_method(doc.method_path))
                after_method_saved();
            // A cancelled or failed save keeps the method, and the program with it.
            return !doc.method_modified;
        case Answer::No:
            doc.method_modified = false;  // given up: nothing to keep at the end either
            return true;
        default:
            return false;
    }
}

void MainWindow::open_named_method(const QString& path) {
    // One hand-over at a time: one that comes while another waits for the operator (a message
    // box runs an event loop) replaces any still waiting, and the same one again is folded.
    if (handing_over_) {
        pending_hand_over_ = path;
        return;
    }
    handing_over_ = true;
    QString last;
    for (QString next = path; !next.isEmpty(); next = std::exchange(pending_hand_over_, {})) {
        if (next == last) continue;
        last = next;
        hand_over(next);
    }
    handing_over_ = false;
}

void MainWindow::hand_over(const QString& path) {
    const WindowRegistry& w = ctx_.windows;
    if (init_running()) {
        // Opened as a method named at start-up is, once the initialisation is over.
        named_method_ = path;
        init_state_.method_after_initialisation = true;
        return;
    }
    if (NotifiedWindow* test = w.handler(WindowId::Test)) {
        if (ctx_.sys.comm.pump_moving.load()) {
            ctx_.presenter.message(this, "Please close the Test window.", "fyi");
            return;
        }
        test->command(cmd::Close);  // as the start-up opens a named method in its place
    }
    if (NotifiedWindow* method = w.handler(WindowId::Method)) {
        if (ctx_.sys.run.mode.load() == MethodRunMode::Active) {
            ctx_.presenter.message(this, "Please reset the running method first", "!");
            return;
        }
        if (!method_may_end()) return;
        // Asked and answered: its own Close finds nothing left to ask.
        method->command(cmd::Close);
        if (w.is_open(WindowId::Method)) return;
    }
    named_method_ = path;
    open_pending_named_method();
}

}  // namespace quorvel
