// The yardstick of idle_bench: the least a Qt Widgets program of quorvel's shape costs while
// nothing happens. A main window as large as quorvel's with a menu bar and a label, and a
// second thread that hands the window thread one event 20 times a second, as the
// communication thread does after every 50 ms pass; the window handles it by doing nothing.

#include <QApplication>
#include <QCoreApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QMainWindow>
#include <QMenuBar>
#include <QScreen>
#include <atomic>
#include <chrono>
#include <thread>

namespace {

const auto kTick = static_cast<QEvent::Type>(QEvent::registerEventType());

class BaselineWindow final : public QMainWindow {
  public:
    BaselineWindow() {
        setWindowTitle("idle baseline");
        QMenu* file = menuBar()->addMenu("&File");
        file->addAction("&Quit", qApp, &QCoreApplication::quit);
        menuBar()->addMenu("&Help")->addAction("&About");
        setCentralWidget(new QLabel("Idle baseline", this));
        if (const QScreen* screen = QGuiApplication::primaryScreen()) {
            setGeometry(screen->availableGeometry());
        }
    }

  protected:
    bool event(QEvent* e) override {
        if (e->type() == kTick) return true;
        return QMainWindow::event(e);
    }
};

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    BaselineWindow window;
    window.show();

    std::atomic<bool> running{true};
    std::thread ticker([&] {
        auto next = std::chrono::steady_clock::now();
        while (running.load()) {
            next += std::chrono::milliseconds(50);
            std::this_thread::sleep_until(next);
            QCoreApplication::postEvent(&window, new QEvent(kTick));
        }
    });
    const int rc = QApplication::exec();
    running = false;
    ticker.join();
    return rc;
}
