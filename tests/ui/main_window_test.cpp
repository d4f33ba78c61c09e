// The main window's menu, its commands and notifications, and its four small windows.

#include <QAction>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <cstdlib>
#include <map>
#include <optional>

#if __has_include(<xcb/xcb.h>)
#include <QtGui/qguiapplication_platform.h>
#include <dlfcn.h>
#include <xcb/xcb.h>
#endif

#include "comm/pump_init.h"
#include "ui/small_windows.h"
#include "ui_fixture.h"

namespace quorvel::uitest {
namespace {

// The window's _NET_WM_NAME as the X server holds it (what openbox and its kind show),
// nothing when it cannot be read. The xcb library is the one Qt's platform plugin loaded.
std::optional<QByteArray> x11_window_title(WId window) {
    std::optional<QByteArray> title;
#if __has_include(<xcb/xcb.h>)
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    void* lib = dlopen("libxcb.so.1", RTLD_LAZY | RTLD_NOLOAD);
    if (!x11 || !lib) return title;
#define XCB(f) reinterpret_cast<decltype(&f)>(dlsym(lib, #f))
    const auto intern = XCB(xcb_intern_atom);
    const auto intern_reply = XCB(xcb_intern_atom_reply);
    const auto get = XCB(xcb_get_property);
    const auto get_reply = XCB(xcb_get_property_reply);
    const auto value = XCB(xcb_get_property_value);
    const auto length = XCB(xcb_get_property_value_length);
#undef XCB
    const char name[] = "_NET_WM_NAME";
    xcb_connection_t* c = x11->connection();
    xcb_intern_atom_reply_t* atom = nullptr;
    if (intern && intern_reply && get && get_reply && value && length)
        atom = intern_reply(c, intern(c, 1, sizeof name - 1, name), nullptr);
    if (atom) {
        const auto cookie = get(c, 0, static_cast<xcb_window_t>(window), atom->atom,
                                XCB_GET_PROPERTY_TYPE_ANY, 0, 1024);
        if (auto* r = get_reply(c, cookie, nullptr)) {
            title = QByteArray(static_cast<const char*>(value(r)), length(r));
            std::free(r);
        }
        std::free(atom);
    }
    dlclose(lib);
#else
    Q_UNUSED(window);
#endif
    return title;
}

}  // namespace

class MainWindowTest : public QObject {
    Q_OBJECT

  private:
    static QString label_text(const QWidget* w, int id) {
        const auto* label = UiFixture::control<QLabel>(w, id);
        return label ? label->text() : QStringLiteral("<no control %1>").arg(id);
    }

  private slots:
    void windowCaptions() {
        UiFixture f;
        f.main->open_init_window();
        f.main->open_status_window();
        f.main->open_terminal_window();
        f.main->open_test_window();
        const std::pair<WindowId, const char*> captions[] = {{WindowId::Init, "Init"},
                                                             {WindowId::Status, "Status"},
                                                             {WindowId::Terminal, "Terminal"},
                                                             {WindowId::Test, "Test"}};
        for (const auto& [id, caption] : captions) {
            QVERIFY(f.window(id));
            QCOMPARE(f.window(id)->windowTitle(), QString(caption));
        }
        QCOMPARE(f.control<QPushButton>(f.window(WindowId::Terminal), 302)->text(),
                 QStringLiteral("send"));
    }

    void menuLayout() {
        UiFixture f;
        QCOMPARE(f.main->windowTitle(), QStringLiteral("Quorvel Version 1.0.5e"));
        QCOMPARE(f.main->menuBar()->objectName(), QStringLiteral("MENU_1"));
        struct Item {
            const char* text;
            int id;
        };
        const std::vector<std::pair<QString, std::vector<Item>>> expected{
            {"&Method",
             {{"New", 106}, {"Open", 103}, {"Save", 104}, {"Save as...", 105}, {"Quit", 107}}},
            {"&Utility",
             {{"Test", 102},
              {"Setup", 100},
              {"Initialize Pump", 108},
              {"Terminal", 111},
              {"Status", 112}}},
            {"&Help", {{"View Help", 110}, {"About", 109}}},
        };
        const QList<QAction*> menus = f.main->menuBar()->actions();
        QCOMPARE(menus.size(), static_cast<qsizetype>(expected.size()));
        for (std::size_t m = 0; m < expected.size(); ++m) {
            QCOMPARE(menus[m]->text(), expected[m].first);
            QVERIFY(menus[m]->menu());
            const QList<QAction*> items = menus[m]->menu()->actions();
            QCOMPARE(items.size(), static_cast<qsizetype>(expected[m].second.size()));
            for (qsizetype i = 0; i < items.size(); ++i) {
                const Item& item = expected[m].second[static_cast<std::size_t>(i)];
                // Mnemonics are free; the words and the order are not.
                QCOMPARE(items[i]->text().remove('&'), QString(item.text));
                QCOMPARE(items[i]->objectName(), QStringLiteral("menu%1").arg(item.id));
            }
        }
    }

    // Every way of closing a window closes it for good, and runs its Close command once.
    void closingWays_data() {
        QTest::addColumn<int>("window");
        QTest::addColumn<QString>("way");
        const std::pair<const char*, WindowId> windows[] = {
            {"First", WindowId::First},       {"Error", WindowId::Error},
            {"Status", WindowId::Status},     {"Init", WindowId::Init},
            {"Terminal", WindowId::Terminal}, {"Test", WindowId::Test},
        };
        for (const auto& [name, id] : windows) {
            for (const char* way : {"escape", "close box", "close button"}) {
                // The Init and Terminal windows have no Close button.
                if (QString(way) == "close button" &&
                    (id == WindowId::Init || id == WindowId::Terminal))
                    continue;
                QTest::addRow("%s, %s", name, way) << static_cast<int>(id) << QString(way);
            }
        }
    }
    void closingWays() {
        QFETCH(int, window);
        QFETCH(QString, way);
        const auto id = static_cast<WindowId>(window);
        UiFixture f;
        const std::map<WindowId, std::function<void()>> open{
            {WindowId::First, [&] { f.main->open_first_window(Note::ShowNotice); }},
            {WindowId::Error, [&] { f.main->open_error_window(ErrorSelector::None); }},
            {WindowId::Status, [&] { f.main->open_status_window(); }},
            {WindowId::Init, [&] { f.main->open_init_window(); }},
            {WindowId::Terminal, [&] { f.main->open_terminal_window(); }},
            {WindowId::Test, [&] { f.main->open_test_window(); }},
        };
        open.at(id)();
        f.settle();
        f.take_pump_queue();
        QPointer<QWidget> w = f.window(id);
        QVERIFY(w && w->isVisible());
        if (way == "escape") {
            QTest::keyClick(w, Qt::Key_Escape);
        } else if (way == "close box") {
            // What the window manager delivers when the title bar's close box is clicked.
            QCloseEvent e;
            QSpontaneKeyEvent::setSpontaneous(&e);
            QCoreApplication::instance()->notify(w, &e);
        } else {
            QTest::mouseClick(UiFixture::control<QPushButton>(w, cmd::Close), Qt::LeftButton);
        }
        f.settle();
        QVERIFY(w.isNull());
        QVERIFY(!f.open(id));
        // The Test window's Close command stops the pump, the Init window's opens Test.
        QCOMPARE(f.take_pump_queue(), id == WindowId::Test ? QStringList{"SSTP"} : QStringList{});
        QCOMPARE(f.open(WindowId::Test), id == WindowId::Init);
        open.at(id)();
        QVERIFY(f.window(id) && f.window(id)->isVisible());
    }

    void menuActionsOpenWindowsOnce_data() {
        QTest::addColumn<int>("id");
        QTest::addColumn<int>("window");
        QTest::newRow("Test") << 102 << static_cast<int>(WindowId::Test);
        QTest::newRow("Initialize Pump") << 108 << static_cast<int>(WindowId::Init);
        QTest::newRow("Terminal") << 111 << static_cast<int>(WindowId::Terminal);
        QTest::newRow("Status") << 112 << static_cast<int>(WindowId::Status);
        QTest::newRow("About") << 109 << static_cast<int>(WindowId::First);
    }
    void menuActionsOpenWindowsOnce() {
        QFETCH(int, id);
        QFETCH(int, window);
        UiFixture f;
        auto* action = f.main->findChild<QAction*>(QStringLiteral("menu%1").arg(id));
        QVERIFY(action);
        action->trigger();
        f.settle();
        QWidget* opened = f.window(static_cast<WindowId>(window));
        QVERIFY(opened && opened->isVisible());
        action->trigger();
        f.settle();
        QCOMPARE(f.window(static_cast<WindowId>(window)), opened);
        QVERIFY(f.presenter.shown.isEmpty());
    }

    // What a command does depends on the windows open and on a running initialisation.
    void commandRules_data() {
        QTest::addColumn<int>("id");
        QTest::addColumn<QString>("before");  // open windows, "init" for an initialisation
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("after");  // the Test and Status windows open afterwards
        const QString close_method = "Please close the Method window.";
        const QString close_test = "Please close the Test window.";
        QTest::newRow("Test") << cmd::Test << ""
                              << ""
                              << "test";
        QTest::newRow("Test, method open") << cmd::Test << "method" << close_method << "";
        QTest::newRow("Test, method open, initialising")
            << cmd::Test << "method init" << close_method << "";
        QTest::newRow("Test, initialising") << cmd::Test << "init"
                                            << ""
                                            << "";
        QTest::newRow("Test, already open") << cmd::Test << "test"
                                            << ""
                                            << "test";
        for (const auto& [name, id] : {std::pair{"Open", cmd::Open}, std::pair{"New", cmd::New}}) {
            QTest::addRow("%s", name) << id << ""
                                      << ""
                                      << "";
            QTest::addRow("%s, test open", name) << id << "test" << close_test << "test";
            QTest::addRow("%s, test open, initialising", name)
                << id << "test init" << close_test << "test";
        }
        QTest::newRow("Status") << cmd::Status << ""
                                << ""
                                << "status";
        QTest::newRow("Status, initialising") << cmd::Status << "init"
                                              << ""
                                              << "";
        QTest::newRow("Status, already open") << cmd::Status << "status"
                                              << ""
                                              << "status";
        QTest::newRow("Setup, initialising") << cmd::Setup << "init"
                                             << ""
                                             << "";
    }
    void commandRules() {
        QFETCH(int, id);
        QFETCH(QString, before);
        QFETCH(QString, message);
        QFETCH(QString, after);
        UiFixture f;
        if (before.contains("test")) f.main->open_test_window();
        if (before.contains("status")) f.main->open_status_window();
        if (before.contains("method")) f.open_method_stand_in();
        if (before.contains("init")) f.sys.comm.init_stage = InitStage::BacklashQuery;
        QWidget* const test = f.window(WindowId::Test);
        QWidget* const status = f.window(WindowId::Status);

        f.main->command(id);
        f.settle();
        QCOMPARE(f.presenter.shown, fyi(message));
        QCOMPARE(f.open(WindowId::Test), after.contains("test"));
        QCOMPARE(f.open(WindowId::Status), after.contains("status"));
        // A window that was open stays the same window.
        if (test) QCOMPARE(f.window(WindowId::Test), test);
        if (status) QCOMPARE(f.window(WindowId::Status), status);
        QVERIFY(!f.open(WindowId::Init) && !f.open(WindowId::Setup));
    }

    void initializePump_data() {
        QTest::addColumn<bool>("has_port");
        QTest::addColumn<int>("stage");
        QTest::addColumn<bool>("init_window_open");
        QTest::addColumn<bool>("starts");
        QTest::newRow("with a pump port") << true << 0 << false << true;
        QTest::newRow("without a pump port") << false << 0 << false << false;
        QTest::newRow("backlash query running")
            << true << static_cast<int>(InitStage::BacklashQuery) << false << false;
        QTest::newRow("controller set-up running")
            << true << static_cast<int>(InitStage::ControllerSetup) << false << false;
        QTest::newRow("init window still open") << true << 0 << true << false;
    }
    void initializePump() {
        QFETCH(bool, has_port);
        QFETCH(int, stage);
        QFETCH(bool, init_window_open);
        QFETCH(bool, starts);
        UiFixture f(has_port);
        if (init_window_open) f.main->open_init_window();
        f.sys.comm.init_stage = static_cast<InitStage>(stage);
        f.sys.comm.init_line = 7;

        f.main->command(cmd::InitializePump);
        f.settle();
        QCOMPARE(f.sys.comm.init_stage.load(),
                 starts ? InitStage::BacklashQuery : static_cast<InitStage>(stage));
        QCOMPARE(f.sys.comm.init_line.load(), starts ? 0 : 7);
        QCOMPARE(f.open(WindowId::Init), starts || init_window_open);
        QCOMPARE(f.presenter.shown, fyi(has_port ? "" : "Please select a serial port first"));
    }

    void firstWindow() {
        UiFixture f;
        f.main->open_first_window(Note::ShowNotice);
        QWidget* first = f.window(WindowId::First);
        QVERIFY(first);
        QCOMPARE(first->windowTitle(), QStringLiteral("fyi"));
        QCOMPARE(label_text(first, 6000), QStringLiteral("text here"));
        f.settle();
        QVERIFY(label_text(first, 6000)
                    .startsWith("This program is intended to be used to setup, test, and "
                                "demonstrate the Zelmarq Tamsel pump."));
        // The main window appears after the notice (start-up order); the notice is stacked
        // again above it, the same window with the same text, as About then leaves it.
        const QString notice = label_text(first, 6000);
        f.main->show();
        f.settle();
        QCOMPARE(f.window(WindowId::First), first);
        QVERIFY(first->isVisible());
        f.main->command(cmd::About);
        f.settle();
        QCOMPARE(f.window(WindowId::First), first);
        QCOMPARE(label_text(first, 6000), notice);

        f.bridge.post_command(WindowId::First, cmd::Close);
        f.settle();
        f.main->command(cmd::About);
        f.settle();
        QCOMPARE(label_text(f.window(WindowId::First), 6000), QString(kAboutText));
    }

    void missingHelpFile() {
        UiFixture f;
        QCOMPARE(f.main->help_file_path(), f.dir.path() + "/tamselhelp.pdf");
        f.main->command(cmd::ViewHelp);
        QCOMPARE(f.presenter.shown, QStringList{"Help error: The help file is not installed."});
    }

    void statusWindowRpm() {
        UiFixture f;
        f.main->command(cmd::Status);
        QWidget* status = f.window(WindowId::Status);
        QVERIFY(status);
        auto* rpm = UiFixture::control<QLineEdit>(status, 7000);
        QVERIFY(rpm);
        const struct {
            bool moving;
            double flow;
            int size;
            const char* text;
        } rows[] = {{false, 10.0, 1, "0.00"},
                    {true, 10.0, 1, "6.0000"},
                    {true, 1.0, 0, "15.0000"},
                    {true, 0.5, 3, "0.0400"},
                    {false, 0.5, 3, "0.00"}};
        for (const auto& row : rows) {
            f.set_pump_size(row.size);
            f.sys.comm.pump_moving = row.moving;
            f.sys.comm.current_flow_ul_per_sec = row.flow;
            f.bridge.post(WindowId::Status, Note::PassDone, 0);
            f.settle();
            QCOMPARE(rpm->text(), QString(row.text));
        }
        // An unchanged figure is not set again, so the operator's selection in it survives.
        rpm->selectAll();
        f.bridge.post(WindowId::Status, Note::PassDone, 0);
        f.settle();
        QCOMPARE(rpm->selectedText(), QStringLiteral("0.00"));
    }

    // A message box given an empty caption has an empty title where the window manager
    // reads it, not the program's name. Only an X server shows that.
    void emptyCaptionStaysEmpty() {
        if (QGuiApplication::platformName() != QLatin1String("xcb"))
            QSKIP("the title a window manager shows is read from an X server");
        std::optional<QByteArray> seen;
        QTimer::singleShot(0, qApp, [&seen] {
            if (QWidget* box = QApplication::activeModalWidget()) {
                seen = x11_window_title(box->winId());
                box->close();
            }
        });
        DialogPresenter().message(nullptr, "Cannot open valve serial port.", "",
                                  "COM4: no such device");
        QVERIFY(seen.has_value());
        QCOMPARE(*seen, QByteArray());
    }

    void commTimeout_data() {
        QTest::addColumn<int>("device");
        QTest::addColumn<QString>("text");
        QTest::newRow("pump") << static_cast<int>(DeviceRole::Pump) << QString(kPumpTimeoutText);
        QTest::newRow("valve") << static_cast<int>(DeviceRole::Valve) << QString(kValveTimeoutText);
        QTest::newRow("none") << 0 << "No Error, why did this box open?";
        QTest::newRow("unknown device") << 3 << "No Error, why did this box open?";
    }
    void commTimeout() {
        QFETCH(int, device);
        QFETCH(QString, text);
        UiFixture f;
        f.main->command(cmd::InitializePump);
        f.settle();
        QVERIFY(f.open(WindowId::Init));
        f.sys.comm.init_line = 2;
        for (const char* line : {"a", "b", "c"}) enqueue_command(f.sys.comm, line, f.sys.comm.pump);
        QVERIFY(f.sys.comm.pump.queue.pop());

        f.bridge.post(WindowId::Main, Note::CommTimeout, device);
        f.settle();
        QVERIFY(!f.open(WindowId::Init));
        QCOMPARE(f.sys.comm.init_stage.load(), InitStage::None);
        QCOMPARE(f.sys.comm.init_line.load(), 0);
        QCOMPARE(f.sys.comm.pump.queue.write_index(), 0);
        QCOMPARE(f.sys.comm.pump.queue.read_index(), 0);
        QWidget* error = f.window(WindowId::Error);
        QVERIFY(error);
        QCOMPARE(error->windowTitle(), QStringLiteral("Error"));
        QCOMPARE(label_text(error, 5000), text);
    }

    // A step that overran is explained as a time-out, but the stop the runner queued stays.
    void runTimeoutKeepsTheStop() {
        UiFixture f;
        enqueue_command(f.sys.comm, "SSTP", f.sys.comm.pump);
        f.bridge.post(WindowId::Main, Note::RunTimeout, static_cast<int>(DeviceRole::Valve));
        f.settle();
        QWidget* error = f.window(WindowId::Error);
        QVERIFY(error);
        QCOMPARE(label_text(error, 5000), QString(kValveTimeoutText));
        QCOMPARE(f.sys.comm.pump.queue.pending(), 1);
    }

    void secondTimeoutKeepsTheErrorText() {
        UiFixture f;
        f.bridge.post(WindowId::Main, Note::CommTimeout, static_cast<int>(DeviceRole::Pump));
        f.settle();
        QWidget* error = f.window(WindowId::Error);
        QVERIFY(error);

        f.sys.comm.init_stage = InitStage::ControllerSetup;
        f.sys.comm.init_line = 4;
        enqueue_command(f.sys.comm, "x", f.sys.comm.pump);
        f.bridge.post(WindowId::Main, Note::CommTimeout, static_cast<int>(DeviceRole::Valve));
        f.settle();
        QCOMPARE(f.window(WindowId::Error), error);
        QCOMPARE(label_text(error, 5000), QString(kPumpTimeoutText));
        QCOMPARE(f.sys.comm.init_stage.load(), InitStage::None);
        QCOMPARE(f.sys.comm.init_line.load(), 0);
        QVERIFY(f.sys.comm.pump.queue.empty());
        QCOMPARE(f.sys.comm.pump.queue.write_index(), 0);
    }

    // The first initialisation ends with a pump time-out: the Init window closes, the
    // Error window explains, and the Test window opens as after any first initialisation.
    void timeoutDuringFirstInitialisation() {
        UiFixture f;
        f.main->command(cmd::InitializePump);
        f.settle();
        f.pass();  // queues the first query
        f.pass();  // sends it; the controller never answers
        f.settle();
        QVERIFY(f.open(WindowId::Init));
        f.now_ms += CommState::kPumpReplyTimeoutMs;
        f.pass();
        f.settle();
        QVERIFY(!f.open(WindowId::Init));
        QVERIFY(f.open(WindowId::Error));
        QCOMPARE(label_text(f.window(WindowId::Error), 5000), QString(kPumpTimeoutText));
        QVERIFY(f.open(WindowId::Test));
        QCOMPARE(f.sys.comm.init_stage.load(), InitStage::None);
    }

    void completedInitialisationOpensTestOnlyOnce() {
        UiFixture f;
        f.main->command(cmd::InitializePump);
        f.settle();
        auto* bar = f.window(WindowId::Init)->findChild<QProgressBar*>();
        QVERIFY(bar);
        QCOMPARE(bar->minimum(), 0);
        QCOMPARE(bar->maximum(), 26);
        QCOMPARE(bar->value(), 0);
        for (int i = 0; i < 3; ++i) f.bridge.post(WindowId::Init, Note::InitAdvance, 0);
        f.settle();
        QCOMPARE(bar->value(), 3);
        f.answering_pass();  // each script step advances it too
        QCOMPARE(bar->value(), 4);

        for (int run = 0; run < 2; ++run) {
            if (run > 0) f.main->command(cmd::InitializePump);
            f.settle();
            QVERIFY(f.open(WindowId::Init));
            f.finish_initialisation();
            QVERIFY(!f.open(WindowId::Init));
            QCOMPARE(f.open(WindowId::Test), run == 0);
            f.bridge.post_command(WindowId::Test, cmd::Close);
        }
    }

    // Escape closes the Init window; that was the first close of the run, so Test never
    // opens afterwards, not even when a later initialisation completes.
    void escapeDuringFirstInitialisation() {
        UiFixture f;
        f.main->command(cmd::InitializePump);
        f.settle();
        QWidget* init = f.window(WindowId::Init);
        QVERIFY(init);
        QTest::keyClick(init, Qt::Key_Escape);
        f.settle();
        QVERIFY(!f.open(WindowId::Init));
        QVERIFY(!f.open(WindowId::Test));
        QCOMPARE(f.sys.comm.init_stage.load(), InitStage::BacklashQuery);

        f.finish_initialisation();
        QVERIFY(!f.open(WindowId::Test));

        f.main->command(cmd::InitializePump);
        f.settle();
        QVERIFY(f.open(WindowId::Init));
        f.finish_initialisation();
        QVERIFY(!f.open(WindowId::Init));
        QVERIFY(!f.open(WindowId::Test));
    }
};

static const RegisterTestClass<MainWindowTest> registered;

}  // namespace quorvel::uitest

#include "main_window_test.moc"
