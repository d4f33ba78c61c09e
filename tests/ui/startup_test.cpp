// The start-up sequence with the ports setup.txt names: what opens, what the operator is
// told, and what is written back at the end.

#include <QDir>
#include <QFile>
#include <QTest>
#include <cstdlib>

#include "sim_device.h"
#include "ui_fixture.h"

namespace quorvel::uitest {

class StartupTest : public QObject {
    Q_OBJECT

  private slots:
    void portsFromSetup_data() {
        QTest::addColumn<QByteArray>("setup");
        QTest::addColumn<bool>("good_pump_device");
        QTest::addColumn<QStringList>("messages");
        QTest::addColumn<bool>("init_opens");
        QTest::addColumn<QByteArray>("written_start");
        QTest::newRow("no file, no ports") << QByteArray() << true << QStringList{} << false
                                           << QByteArray("gearbox=0\r\npump=0\r\n");
        QTest::newRow("pump port opens")
            << QByteArray("com_pump=1\r\npump=1\r\n") << true << QStringList{} << true
            << QByteArray("com_pump=1\r\ngearbox=0\r\npump=1\r\n");
        // A port whose device is absent is still written back, for the next start.
        QTest::newRow("pump port missing")
            << QByteArray("com_pump=1\r\npump=1\r\n") << false
            << QStringList{": Cannot open pump serial port."} << false
            << QByteArray("com_pump=1\r\ngearbox=0\r\npump=1\r\n");
        QTest::newRow("valve port missing")
            << QByteArray("com_pump=1\r\ncom_valve=4\r\npump=1\r\n") << true
            << QStringList{": Cannot open valve serial port."} << true
            << QByteArray("com_pump=1\r\ncom_valve=4\r\ngearbox=0\r\npump=1\r\n");
    }

    void portsFromSetup() {
        QFETCH(QByteArray, setup);
        QFETCH(bool, good_pump_device);
        QFETCH(QStringList, messages);
        QFETCH(bool, init_opens);
        QFETCH(QByteArray, written_start);

        sim::SimPump pump(0.05);
        QVERIFY(pump.start());
        const ScratchFolder dir;
        if (!setup.isEmpty()) {
            QFile f(dir.filePath("setup.txt"));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(setup);
        }
        const std::string missing = dir.filePath("no-such-device").toStdString();
        DevicePortProvider ports(
            {good_pump_device ? pump.device_path() : missing, "", "", missing});

        RecordingPresenter presenter;
        AppServices app(presenter, &ports);
        {
            MainWindow main(app.ctx);
            main.start_up();
            QCOMPARE(presenter.shown, messages);
            QVERIFY(app.windows.is_open(WindowId::First));
            // The initialisation starts only once the event loop runs, after the carriage
            // returns have gone out.
            QVERIFY(!app.windows.is_open(WindowId::Init));
            if (init_opens) QTRY_VERIFY(pump.received_bytes().rfind("\r\r", 0) == 0);
            UiFixture::settle();
            QCOMPARE(app.windows.is_open(WindowId::Init), init_opens);
            main.shut_down();
        }
        QFile written(dir.filePath("setup.txt"));
        QVERIFY(written.open(QIODevice::ReadOnly));
        QVERIFY2(written.readAll().startsWith(written_start), qPrintable(QString(written_start)));
    }

    // Closing the program reports a settings file it could not save; a signal's end only
    // writes it to standard error, as nobody may be there to close a message.
    void aFailedSaveAtExitIsReported_data() {
        QTest::addColumn<bool>("by_signal");
        QTest::newRow("closed by the operator") << false;
        QTest::newRow("ended by a signal") << true;
    }
    void aFailedSaveAtExitIsReported() {
        QFETCH(bool, by_signal);
        const ScratchFolder dir;
        QVERIFY(QDir(dir.path()).mkdir("setup.txt"));  // nothing can replace a folder
        RecordingPresenter presenter;
        AppServices app(presenter);
        {
            MainWindow main(app.ctx);
            main.start_up();
            main.show();
            if (by_signal) main.request_quit();
            main.close();
            QVERIFY(main.shut_down_done());
        }
        if (by_signal) {
            QCOMPARE(presenter.shown, QStringList{});
        } else {
            QCOMPARE(presenter.shown.size(), 1);
            QVERIFY2(presenter.shown[0].startsWith("Error: The settings could not be saved to " +
                                                   dir.filePath("setup.txt")),
                     qPrintable(presenter.shown[0]));
        }
    }
};

static const RegisterTestClass<StartupTest> registered;

}  // namespace quorvel::uitest

#include "startup_test.moc"
