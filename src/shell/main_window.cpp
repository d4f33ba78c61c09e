#include "main_window.h"

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QFile>
#include <QGuiApplication>
#include <QLabel>
#include <QMenuBar>
#include <QScreen>
#include <QShowEvent>
#include <QStatusBar>
#include <QUrl>
#include <cstdio>

#include "comm/pump_init.h"
#include "comm/terminal_window.h"
#include "core/session.h"
#include "core/system.h"
#include "pumpsetup/test_window.h"
#include "shell/message_presenter.h"
#include "shell/notification_bridge.h"

namespace quorvel {

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
    ctx_.session.start_up(*this);
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
    shut_down();
    e->accept();
    // exit() ends every event loop, a start-up message's included; quit() may be refused.
    QCoreApplication::exit(0);
}

// --- notifications ---------------------------------------------------------------------

void MainWindow::notify(Note note, int param) {
    switch (note) {
        case Note::StartInit:
            ctx_.session.start_pump_initialisation([this] { open_init_window(); });
            break;
        case Note::CommTimeout:
            handle_comm_timeout(param);
            break;
        case Note::MethodOpened:
            if (QWidget* m = ctx_.windows.widget(WindowId::Method)) {
                method_normal_height_ = m->frameGeometry().height();
                method_expanded_height_ = static_cast<int>(method_normal_height_ * 1.5);
            }
            break;
        case Note::MethodNormalHeight:
            resize_method_window(method_normal_height_);
            break;
        case Note::MethodEditHeight:
            resize_method_window(method_expanded_height_);
            break;
        default:
            break;
    }
}

void MainWindow::resize_method_window(int height) {
    QWidget* m = ctx_.windows.widget(WindowId::Method);
    if (!m) return;
    const int frame_extra = m->frameGeometry().height() - m->height();
    m->resize(m->width(), std::max(0, height - frame_extra));
}

void MainWindow::handle_comm_timeout(int device) {
    if (ctx_.windows.is_open(WindowId::Init)) ctx_.bridge.post_command(WindowId::Init, cmd::Close);
    cancel_pump_initialisation(ctx_.sys);
    if (ctx_.windows.is_open(WindowId::Error)) return;
    open_error_window(device == static_cast<int>(DeviceRole::Pump)    ? ErrorSelector::PumpTimeout
                      : device == static_cast<int>(DeviceRole::Valve) ? ErrorSelector::ValveTimeout
                                                                      : ErrorSelector::None);
}

bool MainWindow::init_running() const {
    return ctx_.sys.comm.init_stage.load() != InitStage::None;
}

// --- commands --------------------------------------------------------------------------

void MainWindow::command(int id) {
    const WindowRegistry& w = ctx_.windows;
    switch (id) {
        case cmd::Setup:
            // The Setup window comes with its own issue; its rule already holds.
            if (w.is_open(WindowId::Setup) || init_running()) return;
            break;
        case cmd::Test:
            if (w.is_open(WindowId::Method)) {
                ctx_.presenter.message(this, "Please close the Method window.", "fyi");
            } else if (!init_running() && !w.is_open(WindowId::Test)) {
                open_test_window();
            }
            break;
        case cmd::Open:
        case cmd::New:
            if (w.is_open(WindowId::Test)) {
                ctx_.presenter.message(this, "Please close the Test window.", "fyi");
            }
            break;
        case cmd::Save:
        case cmd::SaveAs:
            break;  // only with a Method window open
        case cmd::Quit:
            close();
            break;
        case cmd::InitializePump:
            if (!init_running()) ctx_.bridge.post(WindowId::Main, Note::StartInit);
            break;
        case cmd::About:
            if (!w.is_open(WindowId::First)) {
                open_first_window(Note::ShowAbout);
            } else if (QWidget* first = w.widget(WindowId::First)) {
                // It keeps its text, but a window hidden behind another would make About
                // seem dead.
                first->raise();
                first->activateWindow();
            }
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

QString MainWindow::help_file_path() const {
    return QString::fromStdString(ctx_.sys.startup_directory) + "/tamselhelp.pdf";
}

void MainWindow::view_help() {
    const QString path = help_file_path();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        ctx_.presenter.message(this, "The help file is not installed.", "Help error");
        return;
    }
    file.close();
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(path))) {
        ctx_.presenter.message(this,
                               QString("You must have Adobe Reader to view help.\nYou can download "
                                       "Adobe Reader at %1.")
                                   .arg(kReaderDownload),
                               "Help file requires pdf reader.");
    }
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

void MainWindow::open_test_window() {
    if (ctx_.windows.is_open(WindowId::Test)) return;
    (new TestWindow(ctx_, this))->show();
}

}  // namespace quorvel
