#include "main_window.h"

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QMenuBar>
#include <QPointer>
#include <QScreen>
#include <QShowEvent>
#include <QStatusBar>
#include <cstdio>

#include "comm/pump_init.h"
#include "method/method_file.h"
#include "method/method_runner.h"
#include "method/recovery_copy.h"
#include "session/session.h"
#include "session/system.h"
#include "ui/desktop_documents.h"
#include "ui/file_dialogs.h"
#include "ui/message_presenter.h"
#include "ui/method_window.h"
#include "ui/notification_bridge.h"
#include "ui/pump_test_window.h"
#include "ui/setup_window.h"
#include "ui/terminal_window.h"

namespace quorvel {

namespace {

ErrorSelector error_selector(int device) {
    return device == static_cast<int>(DeviceRole::Pump)    ? ErrorSelector::PumpTimeout
           : device == static_cast<int>(DeviceRole::Valve) ? ErrorSelector::ValveTimeout
                                                           : ErrorSelector::None;
}

}  // namespace

MainWindow::MainWindow(AppContext& ctx, StartupOptions options)
    : ctx_(ctx), options_(std::move(options)) {
    setObjectName("main");
    setWindowTitle(kVersionTitle);
    setWindowIcon(QIcon(":/quorvel/picon.png"));
    // The class's gray background; the main window draws nothing of its own.
    auto* client = new QWidget(this);
    client->setObjectName("client");
    client->setAutoFillBackground(true);
    QPalette p = client->palette();
    p.setColor(QPalette::Window, QColor(128, 128, 128));
    client->setPalette(p);
    setCentralWidget(client);
    build_menu();
    if (!options_.simulation_note.isEmpty()) {
        auto* note_label = new QLabel(options_.simulation_note, this);
        note_label->setObjectName("simulation");
        // Impossible to overlook, so nobody takes a simulated run for a real one.
        note_label->setStyleSheet(
            "QLabel { background: #ffd24d; color: black; font-weight: bold; padding: 3px; }");
        statusBar()->addPermanentWidget(note_label, 1);
    }
    // Shown maximised: the whole screen with the title bar in view, which a client area the
    // size of the screen would push off the top. Restored, it takes three quarters.
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect free_area = screen->availableGeometry();
        move(free_area.topLeft());
        resize(free_area.size() * 3 / 4);
    }
    ctx_.windows.set(WindowId::Main, this, this);
}

MainWindow::~MainWindow() {
    shut_down();
    ctx_.windows.clear(WindowId::Main, this);
}

void MainWindow::build_menu() {
    menuBar()->setObjectName("MENU_1");
    struct Item {
        const char* text;
        int id;
    };
    auto add_menu = [this](const char* title, std::initializer_list<Item> items) {
        QMenu* menu = menuBar()->addMenu(title);
        for (const Item& item : items) {
            QAction* a = menu->addAction(item.text);
            a->setObjectName(QStringLiteral("menu%1").arg(item.id));
            const int id = item.id;
            connect(a, &QAction::triggered, this, [this, id] { command(id); });
        }
    };
    add_menu("&Method", {{"&New", cmd::New},
                         {"&Open", cmd::Open},
                         {"&Save", cmd::Save},
                         {"Save &as...", cmd::SaveAs},
                         {"&Quit", cmd::Quit}});
    add_menu("&Utility", {{"&Test", cmd::Test},
                          {"&Setup", cmd::Setup},
                          {"&Initialize Pump", cmd::InitializePump},
                          {"&Terminal", cmd::Terminal},
                          {"Status", cmd::Status}});
    add_menu("&Help", {{"View &Help", cmd::ViewHelp}, {"&About", cmd::About}});
}

// --- start-up and shutdown --------------------------------------------------------------

void MainWindow::start_up() {
    if (!ctx_.session.start_up(*this)) return;
    // What an ending that could not ask kept: said once, at the next start.
    const auto kept = take_recovery_notes(ctx_.session.state_folder());
    if (kept.empty()) return;
    QString text =
        "Quorvel ended without asking about unsaved changes to a method. They were "
        "kept in:";
    for (const auto& path : kept) text += "\n" + QString::fromStdString(path.string());
    text += "\nMethod > Open reads such a file like any other method.";
    // Once the event loop runs, over the main window rather than before it is shown.
    QMetaObject::invokeMethod(
        this, [this, text] { ctx_.presenter.message(this, text, "fyi"); }, Qt::QueuedConnection);
}

void MainWindow::port_failed(DeviceRole role, const std::string& device,
                             const std::string& reason) {
    ctx_.presenter.message(this,
                           role == DeviceRole::Pump ? "Cannot open pump serial port."
                                                    : "Cannot open valve serial port.",
                           "", QString::fromStdString(device + ": " + reason));
}

void MainWindow::report(const std::string& text) {
    std::fprintf(stderr, "quorvel: %s\n", text.c_str());
    ctx_.presenter.message(this, QString::fromStdString(text), "Error");
}

void MainWindow::before_thread_start() {
    if (!ctx_.windows.is_open(WindowId::First)) open_first_window(Note::ShowNotice);
}

bool MainWindow::shut_down_done() const {
    return ctx_.session.shut_down_done();
}

void MainWindow::shut_down() {
    const ShutdownResult r = ctx_.session.shut_down();
    if (!r.recovery_path.empty())
        std::fprintf(stderr, "quorvel: the unsaved method was kept in %s\n",
                     r.recovery_path.c_str());
    if (!r.recovery_error.empty())
        std::fprintf(stderr, "quorvel: the unsaved method could not be kept: %s\n",
                     r.recovery_error.c_str());
    if (!r.ran || r.settings_saved) return;
    const std::string text = settings_save_failure_text(r);
    std::fprintf(stderr, "quorvel: %s\n", text.c_str());
    // Only an operator who closed the program is there to read it; a signal asks for an
    // end without waiting.
    if (!quit_requested_ && isVisible()) {
        ctx_.presenter.message(this, QString::fromStdString(text), "Error");
    }
}

void MainWindow::showEvent(QShowEvent* e) {
    QMainWindow::showEvent(e);
    if (shown_before_) return;
    shown_before_ = true;
    // The first notice opens during start-up, before this window is shown, and a window
    // manager that meets an owned window before its owner stacks it below the owner as soon
    // as the owner appears. Shown again once the owner is on the screen, it is stacked as
    // an owned window, above the main window for good.
    QMetaObject::invokeMethod(
        this,
        [this] {
            QWidget* first = ctx_.windows.widget(WindowId::First);
            if (!first || !first->isVisible()) return;
            first->hide();
            first->show();
        },
        Qt::QueuedConnection);
}

void MainWindow::closeEvent(QCloseEvent* e) {
    // An operator who closes is asked about unsaved edits; a signal cannot wait for an answer.
    if (!quit_requested_ && !method_may_end()) {
        e->ignore();
        return;
    }
    shut_down();
    e->accept();
    // exit() ends every event loop, a start-up message's included; quit() may be refused.
    QCoreApplication::exit(0);
}

// --- notifications ---------------------------------------------------------------------

void MainWindow::notify(Note note, int param) {
    switch (note) {
        case Note::StartInit:
            // Not while the window of one is still open (a time-out closes it only later).
            if (!ctx_.windows.is_open(WindowId::Init))
                ctx_.session.start_pump_initialisation([this] { open_init_window(); });
            break;
        case Note::CommTimeout:
            handle_comm_timeout(param);
            break;
        case Note::RunTimeout:
            // The runner has reset the run and queued the stop: nothing here may empty the
            // queue as a reply time-out does.
            if (!ctx_.windows.is_open(WindowId::Error)) open_error_window(error_selector(param));
            break;
        case Note::MethodOpened:
            if (QWidget* m = ctx_.windows.widget(WindowId::Method)) {
                method_client_height_ = m->height();
                note_method_heights(m);
            }
            break;
        case Note::MethodNormalHeight:
        case Note::MethodEditHeight:
            if (QWidget* m = ctx_.windows.widget(WindowId::Method)) {
                note_method_heights(m);
                // The heights are the frame's; the window has a fixed size, so its width and
                // place stay as they are.
                const int frame_extra = m->frameGeometry().height() - m->height();
                const int height = note == Note::MethodEditHeight ? method_expanded_height_
                                                                  : method_normal_height_;
                m->setFixedHeight(std::max(0, height - frame_extra));
            }
            break;
        default:
            break;
    }
}

// The window manager may not have framed a new window yet when it reports its height, so
// the height of its frame is added as it stands when the heights are used.
void MainWindow::note_method_heights(const QWidget* m) {
    method_normal_height_ = method_client_height_ + m->frameGeometry().height() - m->height();
    method_expanded_height_ = static_cast<int>(method_normal_height_ * 1.5);
}

// --- the method commands ----------------------------------------------------------------

// Open and New: the Test window must be closed first; during the initialisation, or with
// a Method window open, they do nothing.
bool MainWindow::method_open_refused() {
    if (ctx_.windows.is_open(WindowId::Test)) {
        ctx_.presenter.message(this, "Please close the Test window.", "fyi");
        return true;
    }
    return init_running() || ctx_.windows.is_open(WindowId::Method);
}

void MainWindow::new_method() {
    set_run_mode(ctx_.sys, MethodRunMode::Idle);
    MethodDocument& doc = ctx_.sys.document;
    doc.method_path.clear();
    doc.method_title.clear();
    ctx_.sys.run.step_count = 0;
    ctx_.session.set_method_file(std::nullopt, std::nullopt);
    open_method_window();
}

void MainWindow::open_method() {
    // Before the dialog, so that even a cancelled Open leaves the pump stopped.
    set_run_mode(ctx_.sys, MethodRunMode::Idle);
    const QString path =
        ctx_.dialogs.open_method(this, QString::fromStdString(ctx_.sys.document.method_path));
    if (!path.isEmpty()) load_method(path);
}

void MainWindow::load_method(const QString& path) {
    MethodDocument& doc = ctx_.sys.document;
    doc.method_path = path.toStdString();
    doc.method_title = QFileInfo(path).fileName().toStdString();
    std::string reason;
    std::string sha256;
    const int rows = read_method_file(ctx_.sys.method_table, doc.method_path, &reason, &sha256);
    ctx_.sys.run.step_count = rows;
    if (rows > 0) {
        ctx_.session.set_method_file(doc.method_path, sha256);
        open_method_window();
    } else {
        ctx_.presenter.message(this, "There was a problem with this file", "fyi",
                               QString::fromStdString(reason));
    }
}

void MainWindow::open_named_method_after_start_up(const QString& path) {
    if (ctx_.sys.comm.pump.has_port.load()) {
        named_method_ = path;
        init_state_.method_instead_of_test = true;
    } else {
        // No initialisation to wait for: open once the event loop runs.
        named_method_ = path;
        ctx_.bridge.post_command(WindowId::Main, cmd::OpenNamedMethod);
    }
}

void MainWindow::handle_comm_timeout(int device) {
    if (ctx_.windows.is_open(WindowId::Init)) ctx_.bridge.post_command(WindowId::Init, cmd::Close);
    cancel_pump_initialisation(ctx_.sys.comm);
    if (ctx_.windows.is_open(WindowId::Error)) return;
    open_error_window(error_selector(device));
}

bool MainWindow::init_running() const {
    return ctx_.sys.comm.init_stage.load() != InitStage::None;
}

// --- commands --------------------------------------------------------------------------

void MainWindow::command(int id) {
    const WindowRegistry& w = ctx_.windows;
    switch (id) {
        case cmd::Setup:
            if (!w.is_open(WindowId::Setup) && !init_running()) open_setup_window();
            break;
        case cmd::Test:
            test_command();
            break;
        case cmd::Open:
            if (!method_open_refused()) open_method();
            break;
        case cmd::New:
            if (!method_open_refused()) new_method();
            break;
        case cmd::OpenNamedMethod:
            open_pending_named_method();
            break;
        case cmd::Save:
            if (w.is_open(WindowId::Method)) save_method();
            break;
        case cmd::SaveAs:
            if (w.is_open(WindowId::Method)) save_method_as();
            break;
        case cmd::Quit:
            close();
            break;
        case cmd::InitializePump:
            if (!init_running()) ctx_.bridge.post(WindowId::Main, Note::StartInit);
            break;
        case cmd::About:
            about_command();
            break;
        case cmd::ViewHelp:
            view_help();
            break;
        case cmd::Terminal:
            if (!w.is_open(WindowId::Terminal)) open_terminal_window();
            break;
        case cmd::Status:
            if (!w.is_open(WindowId::Status) && !init_running()) open_status_window();
            break;
        default:
            break;
    }
}

void MainWindow::test_command() {
    const WindowRegistry& w = ctx_.windows;
    if (w.is_open(WindowId::Method)) {
        ctx_.presenter.message(this, "Please close the Method window.", "fyi");
    } else if (!init_running() && !w.is_open(WindowId::Test)) {
        open_test_window();
    }
}

void MainWindow::open_pending_named_method() {
    if (!named_method_.isEmpty() && !method_open_refused()) {
        set_run_mode(ctx_.sys, MethodRunMode::Idle);
        load_method(named_method_);
    }
    named_method_.clear();
}

void MainWindow::about_command() {
    const WindowRegistry& w = ctx_.windows;
    if (!w.is_open(WindowId::First)) {
        open_first_window(Note::ShowAbout);
    } else if (QWidget* first = w.widget(WindowId::First)) {
        // It keeps its text, but a window hidden behind another would make About seem dead.
        first->raise();
        first->activateWindow();
    }
}

QString MainWindow::help_file_path() const {
    return QString::fromStdString(ctx_.sys.startup_directory) + "/" + kHelpFileName;
}

// A help file the lab keeps in the start-up directory comes first; without one, the guide
// that was installed with the program.
void MainWindow::view_help() {
    QString path = help_file_path();
    if (!readable_document(path)) path = installed_guide_path(ctx_.documents.program_dir);
    if (!readable_document(path)) {
        ctx_.presenter.message(this, "The help file is not installed.", "Help error");
        return;
    }
    // The desktop may find out only later that no viewer takes the file.
    const QPointer<MainWindow> self(this);
    ctx_.documents.open(path, [self, path] {
        if (!self) return;
        self->ctx_.presenter.message(
            self,
            QString("You must have Adobe Reader to view help.\nYou can download Adobe Reader at "
                    "%1.")
                .arg(kReaderDownload),
            "Help file requires pdf reader.",
            QString("No viewer could be started for %1. Any PDF viewer will do, with xdg-utils "
                    "installed to start it.")
                .arg(path));
    });
}

// --- opening windows -------------------------------------------------------------------

void MainWindow::open_first_window(Note text) {
    if (ctx_.windows.is_open(WindowId::First)) return;
    (new FirstWindow(ctx_, this))->show();
    ctx_.bridge.post(WindowId::First, text);
}

void MainWindow::open_error_window(ErrorSelector selector) {
    if (ctx_.windows.is_open(WindowId::Error)) return;
    (new ErrorWindow(ctx_, this, selector))->show();
}

void MainWindow::open_init_window() {
    if (ctx_.windows.is_open(WindowId::Init)) return;
    (new InitWindow(ctx_, this, init_state_))->show();
}

void MainWindow::open_status_window() {
    if (ctx_.windows.is_open(WindowId::Status)) return;
    (new StatusWindow(ctx_, this))->show();
}

void MainWindow::open_terminal_window() {
    if (ctx_.windows.is_open(WindowId::Terminal)) return;
    (new TerminalWindow(ctx_, this))->show();
}

void MainWindow::open_method_window() {
    if (ctx_.windows.is_open(WindowId::Method)) return;
    (new MethodWindow(ctx_, this))->show();
}

void MainWindow::open_setup_window() {
    if (ctx_.windows.is_open(WindowId::Setup)) return;
    (new SetupWindow(ctx_, this))->show();
}

void MainWindow::open_test_window() {
    if (ctx_.windows.is_open(WindowId::Test)) return;
    (new TestWindow(ctx_, this))->show();
}

}  // namespace quorvel
