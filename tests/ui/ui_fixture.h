#pragma once
// One program's worth of windows per test: a fresh system with an in-memory pump port, a
// main window that was never started up (no setup.txt, no real ports, no thread) and a
// presenter that records every message instead of blocking on it.

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QObject>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "comm/memory_port.h"
#include "pumpsetup/calibration.h"
#include "session/system.h"
#include "session/system_pass.h"
#include "ui/app_context.h"
#include "ui/app_services.h"
#include "ui/main_window.h"
#include "ui/message_presenter.h"
#include "ui/notification_bridge.h"
#include "ui/quorvel_application.h"
#include "ui/quorvel_dialog.h"
#include "ui/window_registry.h"
#include "ui_test_classes.h"

namespace quorvel::uitest {

// Every message shown, as "caption: text", and the detail under each.
class RecordingPresenter final : public MessagePresenter {
  public:
    void message(QWidget*, const QString& text, const QString& caption,
                 const QString& detail) override {
        shown << caption + ": " + text;
        details << detail;
        // What happens while the box is up (its event loop delivers other requests).
        if (while_shown) std::exchange(while_shown, {})();
    }
    Answer question(QWidget*, const QString& text, const QString& caption) override {
        asked << caption + ": " + text;
        return answer;
    }
    QStringList shown;
    QStringList details;
    // Every question asked, as "caption: text", and the answer each one gets.
    QStringList asked;
    Answer answer = Answer::Cancel;
    std::function<void()> while_shown;  // once, during the next message
};

// The messages expected from one step: none, or this one with the caption "fyi".
inline QStringList fyi(const QString& text) {
    return text.isEmpty() ? QStringList{} : QStringList{"fyi: " + text};
}

// A fresh folder made the current one, as the program's start-up folder. The previous one
// comes back however the test ends, so a failed check cannot leave the next test standing
// in a removed folder.
class ScratchFolder {
  public:
    ScratchFolder() : previous_(QDir::currentPath()) { QDir::setCurrent(dir_.path()); }
    ~ScratchFolder() { QDir::setCurrent(previous_); }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    QString path() const { return dir_.path(); }
    QString filePath(const QString& name) const { return dir_.filePath(name); }

  private:
    QTemporaryDir dir_;
    QString previous_;
};

// A window the program does not have yet, standing in for it in the registry.
struct StandInWindow final : public NotifiedWindow {
    void notify(Note, int) override {}
    void command(int) override {}
};

struct UiFixture {
    explicit UiFixture(bool with_pump_port = true) {
        sys.startup_directory = dir.path().toStdString();
        compute_calibration(sys.config, 0);
        if (with_pump_port) {
            auto port = std::make_unique<MemoryPort>();
            pump_port = port.get();
            replace_port(sys.comm.pump, std::move(port));
        }
        // No real file dialog ever opens in a test: each one takes the next answer.
        auto answer = [this](const char* kind) {
            dialogs_asked << kind;
            return dialog_answers.isEmpty() ? QString() : dialog_answers.takeFirst();
        };
        app_services.dialogs = {[answer](QWidget*, const QString&) { return answer("open"); },
                                [answer](QWidget*, const QString&) { return answer("save"); }};
        // No real viewer starts either, and the program's folder holds no guide unless a test
        // puts one there.
        app_services.documents = {dir.path() + "/program/bin",
                                  [this](const QString& path, std::function<void()> failed) {
                                      documents_shown << path;
                                      if (!viewer_starts) failed();
                                  }};
        main = std::make_unique<MainWindow>(ctx);
        app().route_enter_to_terminal(&windows, &bridge);
    }
    ~UiFixture() {
        app().route_enter_to_terminal(nullptr, nullptr);
        main.reset();
    }

    static QuorvelApplication& app() {
        return *static_cast<QuorvelApplication*>(QCoreApplication::instance());
    }

    // Handles every queued notification, including those posted while handling others.
    static void settle() {
        for (int i = 0; i < 8; ++i) {
            // The end of a pass arrives through a descriptor the event loop watches.
            QCoreApplication::processEvents();
            QCoreApplication::sendPostedEvents();
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        }
    }

    // Makes w the active window, where the keyboard goes.
    static bool activate(QWidget* w) {
        w->activateWindow();
        return QTest::qWaitFor([w] { return QApplication::activeWindow() == w; });
    }

    template <class W = QWidget>
    W* window(WindowId id) const {
        return dynamic_cast<W*>(windows.widget(id));
    }
    bool open(WindowId id) const { return windows.is_open(id); }

    template <class C = QWidget>
    static C* control(const QWidget* w, int id) {
        return w->findChild<C*>(control_name(id));
    }

    // Takes every line waiting in the pump queue.
    QStringList take_pump_queue() {
        QStringList out;
        while (auto line = sys.comm.pump.queue.pop()) out << QString::fromStdString(*line);
        return out;
    }

    // One pass of the communication thread; the clock then moves on by step_ms.
    void pass(std::uint32_t step_ms = 50) {
        SystemPass(sys).run(now_ms);
        now_ms += step_ms;
    }
    // A controller that answers every line it was sent with a prompt, then a pass.
    void answering_pass() {
        const std::size_t sent = pump_port->written_lines().size();
        for (; answered < sent; ++answered) pump_port->feed(">");
        pass();
        settle();
    }
    // Answers the controller's way through a running initialisation.
    void finish_initialisation() {
        for (int i = 0; i < 200 && sys.comm.init_stage.load() != InitStage::None; ++i)
            answering_pass();
        QVERIFY(sys.comm.init_stage.load() == InitStage::None);
    }

    void open_method_stand_in() {
        windows.set(WindowId::Method, &method_stand_in, &method_handler);
    }

    void set_pump_size(int size) {
        sys.update_config([size](PumpSettings& s, PumpCalibration&) { s.pump = size; });
        compute_calibration(sys.config, 0);
    }

    QTemporaryDir dir;
    RecordingPresenter presenter;
    AppServices app_services{presenter};
    System& sys = app_services.sys;
    WindowRegistry& windows = app_services.windows;
    NotificationBridge& bridge = app_services.bridge;
    AppContext& ctx = app_services.ctx;
    MemoryPort* pump_port = nullptr;
    // The file dialogs' answers still to give (empty: cancelled) and the ones asked so far.
    QStringList dialog_answers;
    QStringList dialogs_asked;
    // The documents handed to the desktop's viewer, and whether a viewer starts.
    QStringList documents_shown;
    bool viewer_starts = true;
    std::size_t answered = 0;
    std::uint32_t now_ms = 1000;
    QWidget method_stand_in;
    StandInWindow method_handler;
    std::unique_ptr<MainWindow> main;
};

}  // namespace quorvel::uitest
