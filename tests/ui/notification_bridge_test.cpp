// The bridge between the communication thread and the windows: hand-over in order, sends
// and messages that wait for the window thread, and a shutdown that can never deadlock; and
// the router that takes each of the session's events to the window that shows it.

#include <QTest>
#include <QThread>
#include <atomic>
#include <thread>

#include "comm/comm_thread.h"
#include "comm/pump_init.h"
#include "method/method_run.h"
#include "ui/event_router.h"
#include "ui_fixture.h"

namespace quorvel::uitest {

namespace {

// A window that notes what reached it, and on which thread.
struct NotingWindow final : public NotifiedWindow {
    void notify(Note note, int param) override {
        seen.push_back({note, param});
        on_window_thread = on_window_thread && QThread::currentThread() == qApp->thread();
    }
    void command(int id) override { commands.push_back(id); }
    std::vector<std::pair<Note, int>> seen;
    std::vector<int> commands;
    bool on_window_thread = true;
};

// A presenter that notes on which thread it was asked.
class ThreadNotingPresenter final : public MessagePresenter {
  public:
    void message(QWidget*, const QString& text, const QString&, const QString&) override {
        texts << text;
        on_window_thread = QThread::currentThread() == qApp->thread();
    }
    Answer question(QWidget*, const QString&, const QString&) override { return Answer::Cancel; }
    QStringList texts;
    bool on_window_thread = false;
};

}  // namespace

class NotificationBridgeTest : public QObject {
    Q_OBJECT

  private slots:
    void postsArriveInOrderOnTheWindowThread() {
        UiFixture f;
        QWidget widget;
        NotingWindow w;
        f.windows.set(WindowId::Test, &widget, &w);
        std::thread other([&] {
            for (int i = 0; i < 50; ++i) f.bridge.post(WindowId::Test, Note::PassDone, i);
            f.bridge.post_command(WindowId::Test, 2005);
        });
        other.join();
        QTRY_COMPARE(w.commands, std::vector<int>{2005});
        QCOMPARE(static_cast<int>(w.seen.size()), 50);
        for (int i = 0; i < 50; ++i) QCOMPARE(w.seen[i].second, i);
        QVERIFY(w.on_window_thread);
    }

    void aSendWaitsForTheWindowThreadButAMessageNeverDoes() {
        ThreadNotingPresenter presenter;
        AppServices app(presenter);
        replace_port(app.sys.comm.pump, std::make_unique<MemoryPort>());
        QWidget widget;
        NotingWindow w;
        app.windows.set(WindowId::Init, &widget, &w);
        std::atomic<int> done{0};
        std::thread other([&] {
            {
                // The runner's way: commands queued under the run lock. The overflow's
                // message must not hold this thread, or the lock, until it is closed.
                std::lock_guard lock(app.sys.run.mutex);
                for (int i = 0; i < CommandQueue::kSlots; ++i)
                    enqueue_command(app.sys.comm, "x", app.sys.comm.pump);
            }
            done = 1;
            app.bridge.send(WindowId::Init, Note::InitAdvance, 0);
            done = 2;
        });
        // This thread runs no loop meanwhile, so nothing is handled yet.
        for (int i = 0; i < 500 && done.load() == 0; ++i) QTest::qSleep(10);
        QCOMPARE(done.load(), 1);
        QTest::qSleep(100);
        QCOMPARE(done.load(), 1);
        QTRY_COMPARE(done.load(), 2);
        other.join();
        QCOMPARE(static_cast<int>(w.seen.size()), 1);
        QCOMPARE(presenter.texts, QStringList{"Fatal Communication Error"});
        QVERIFY(presenter.on_window_thread);
    }

    // Each event reaches the windows that show it, and nothing when they are closed.
    void eachEventGoesToTheWindowsThatShowIt() {
        using Seen = std::vector<std::pair<Note, int>>;
        using W = WindowId;
        const struct {
            const char* name;
            std::function<void(EventRouter&)> fire;
            std::vector<WindowId> to;
            Seen seen;
            std::vector<int> commands;
        } cases[] = {
            {"terminal line",
             [](EventRouter& r) { r.terminal_line("ok"); },
             {W::Terminal},
             {{Note::TerminalLines, 0}},
             {}},
            {"time-out",
             [](EventRouter& r) { r.reply_timed_out(DeviceRole::Valve); },
             {W::Main},
             {{Note::CommTimeout, 2}},
             {}},
            {"step overran",
             [](EventRouter& r) {
                 r.run_failed({RunFailureKind::NoEnd, DeviceRole::Pump, 2, 9});
             },
             {W::Main},
             {{Note::RunTimeout, 1}},
             {}},
            {"backlash",
             [](EventRouter& r) { r.backlash_read(); },
             {W::Setup},
             {{Note::BacklashRead, 0}},
             {}},
            {"progress",
             [](EventRouter& r) { r.initialisation_advanced(); },
             {W::Init},
             {{Note::InitAdvance, 0}},
             {}},
            {"initialised",
             [](EventRouter& r) { r.initialisation_finished(); },
             {W::Init},
             {},
             {cmd::Close}},
            {"status line",
             [](EventRouter& r) { r.status_line_changed(); },
             {W::Test, W::Method},
             {{Note::StatusLine, 0}},
             {}},
            {"run mode",
             [](EventRouter& r) { r.run_mode_changed(MethodRunMode::Active); },
             {W::Method},
             {{Note::MethodMode, 0}},
             {}},
            {"running row",
             [](EventRouter& r) { r.running_row_changed(3); },
             {W::Method},
             {{Note::MethodSelect, 3}},
             {}},
            {"start-up",
             [](EventRouter& r) { r.initialisation_requested(); },
             {W::Main},
             {{Note::StartInit, 0}},
             {}},
            {"pass",
             [](EventRouter& r) { r.pass_done(); },
             {W::Method, W::Test, W::Status},
             {{Note::PassDone, 0}},
             {}},
        };
        for (const auto& k : cases) {
            for (const bool open : {true, false}) {
                ThreadNotingPresenter presenter;
                AppServices app(presenter);
                std::array<QWidget, kWindowCount> widgets;
                std::array<NotingWindow, kWindowCount> windows;
                auto is_target = [&](int w) {
                    return std::count(k.to.begin(), k.to.end(), static_cast<WindowId>(w)) > 0;
                };
                for (int w = 0; w < kWindowCount; ++w) {
                    if (open || !is_target(w))
                        app.windows.set(static_cast<WindowId>(w), &widgets[w], &windows[w]);
                }
                k.fire(app.router);
                UiFixture::settle();
                for (int w = 0; w < kWindowCount; ++w) {
                    const bool gets = open && is_target(w);
                    const QString where =
                        QString("%1, window %2, open %3").arg(k.name).arg(w).arg(open);
                    QVERIFY2(windows[w].seen == (gets ? k.seen : Seen{}), qPrintable(where));
                    QVERIFY2(windows[w].commands == (gets ? k.commands : std::vector<int>{}),
                             qPrintable(where));
                }
            }
        }
        ThreadNotingPresenter presenter;
        AppServices app(presenter);
        app.router.message("Fatal Communication Error", "");
        app.router.run_failed({RunFailureKind::Refused, DeviceRole::Pump, 2, 0});
        UiFixture::settle();
        QCOMPARE(presenter.texts,
                 (QStringList{"Fatal Communication Error",
                              "Step 3: the pump refused the move. The method was reset."}));
    }

    // The end of every pass allocates nothing and waits at most once: passes that end before
    // the windows look share one delivery, and the next pass brings the next.
    void passesThatEndMeanwhileShareOneDelivery() {
        UiFixture f;
        QWidget widget;
        NotingWindow test;
        f.windows.set(WindowId::Test, &widget, &test);
        std::thread other([&] {
            for (int i = 0; i < 50; ++i) f.app_services.router.pass_done();
        });
        other.join();
        UiFixture::settle();
        QCOMPARE(static_cast<int>(test.seen.size()), 1);
        f.app_services.router.pass_done();
        UiFixture::settle();
        QCOMPARE(static_cast<int>(test.seen.size()), 2);
    }

    void shutdownReleasesAThreadWaitingForAWindow() {
        UiFixture f;
        QWidget widget;
        NotingWindow init;
        f.windows.set(WindowId::Init, &widget, &init);
        f.sys.comm.init_stage = InitStage::BacklashQuery;
        // The real thread's first pass sends to the Init window and waits for this thread,
        // which never lets it be handled: the shutdown must free it all the same.
        SystemPass hooks(f.sys);
        CommThread thread(f.sys.comm, hooks, 5);
        thread.start();
        QTest::qSleep(200);
        QVERIFY(init.seen.empty());
        f.bridge.shutdown();
        thread.stop();
        QVERIFY(!thread.running());
        // Afterwards nothing waits and nothing is delivered.
        f.bridge.send(WindowId::Init, Note::InitAdvance, 0);
        std::thread late([&] { f.bridge.send(WindowId::Init, Note::InitAdvance, 0); });
        late.join();
        f.bridge.post(WindowId::Init, Note::InitAdvance, 0);
        UiFixture::settle();
        // Only the window thread's own send reached it.
        QCOMPARE(static_cast<int>(init.seen.size()), 1);
    }
};

static const RegisterTestClass<NotificationBridgeTest> registered;

}  // namespace quorvel::uitest

#include "notification_bridge_test.moc"
