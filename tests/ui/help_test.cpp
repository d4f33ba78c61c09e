// View Help: the help file in the start-up directory, else the guide installed with the
// program, else the message that help is missing; and the message when no viewer starts.

#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>

#include "ui/desktop_documents.h"
#include "ui_fixture.h"

// A child process started from this threaded program leaves ThreadSanitizer unable to
// start any thread after it.
#if defined(__SANITIZE_THREAD__)
#define QUORVEL_THREAD_SANITIZER
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QUORVEL_THREAD_SANITIZER
#endif
#endif

namespace quorvel::uitest {
namespace {

const QString kNotInstalled = "Help error: The help file is not installed.";
const QString kNoReader =
    "Help file requires pdf reader.: You must have Adobe Reader to view "
    "help.\nYou can download Adobe Reader at " +
    QString(MainWindow::kReaderDownload) + ".";

const QString kGuide = "/program/share/doc/quorvel/tamselhelp.pdf";

bool plant(const QString& path, const QByteArray& content = "%PDF-") {
    QFile f(path);
    return QDir().mkpath(path.section('/', 0, -2)) && f.open(QIODevice::WriteOnly) &&
           f.write(content) == content.size();
}

}  // namespace

class HelpTest : public QObject {
    Q_OBJECT

  private slots:
    // What lies under the help file's name in the start-up directory, whether the guide lies
    // beside the fixture's program folder (<dir>/program/bin) and whether a viewer starts.
    void whichFile_data() {
        QTest::addColumn<QString>("startup");  // "file", "folder", "fifo" or none
        QTest::addColumn<bool>("guide_too");
        QTest::addColumn<bool>("viewer");
        QTest::addColumn<QString>("shown");  // the file handed to the viewer, under <dir>
        QTest::addColumn<QString>("message");
        const QString none, help = "/tamselhelp.pdf";
        QTest::newRow("start-up directory first") << "file" << true << true << help << none;
        QTest::newRow("installed guide") << none << true << true << kGuide << none;
        QTest::newRow("neither") << none << false << true << none << kNotInstalled;
        QTest::newRow("a folder is no help file")
            << "folder" << false << true << none << kNotInstalled;
        // Opening a FIFO to look would wait for a writer that never comes.
        QTest::newRow("a FIFO is no help file") << "fifo" << true << true << kGuide << none;
        QTest::newRow("no viewer: help file") << "file" << false << false << help << kNoReader;
        QTest::newRow("no viewer: guide") << none << true << false << kGuide << kNoReader;
    }
    void whichFile() {
        QFETCH(QString, startup);
        QFETCH(bool, guide_too);
        UiFixture f;
        const QString help = f.dir.path() + "/tamselhelp.pdf";
        if (startup == "file") QVERIFY(plant(help));
        if (startup == "folder") QVERIFY(QDir().mkpath(help));
        if (startup == "fifo") QCOMPARE(::mkfifo(QFile::encodeName(help).constData(), 0600), 0);
        if (guide_too) QVERIFY(plant(f.dir.path() + kGuide));
        QFETCH(bool, viewer);
        f.viewer_starts = viewer;
        f.main->command(cmd::ViewHelp);
        QFETCH(QString, shown);
        QCOMPARE(f.documents_shown.join(""), shown.isEmpty() ? shown : f.dir.path() + shown);
        QTEST(f.presenter.shown.join(""), "message");
    }

    // The desktop's own opener: a stand-in xdg-open alone on PATH that notes the file and
    // ends with the status given (-1: no xdg-open at all); only a failure brings the message.
    void desktopOpener_data() {
        QTest::addColumn<int>("status");
        for (const int status : {0, 3, 4, -1}) QTest::addRow("%d", status) << status;
    }
    void desktopOpener() {
        QFETCH(int, status);
#ifdef QUORVEL_THREAD_SANITIZER
        if (status >= 0) QSKIP("no child processes under ThreadSanitizer");
#endif
        UiFixture f;
        f.app_services.documents.open = DesktopDocuments::standard().open;
        const QString guide = f.dir.path() + kGuide;
        const QString bin = f.dir.path() + "/path", noted = f.dir.path() + "/opened";
        QVERIFY(plant(guide) && QDir().mkpath(bin));
        if (status >= 0) {
            QVERIFY(plant(bin + "/xdg-open", QString("#!/bin/sh\necho \"$1\" > '%1'\nexit %2\n")
                                                 .arg(noted)
                                                 .arg(status)
                                                 .toUtf8()));
            QVERIFY(QFile::setPermissions(bin + "/xdg-open", QFile::ReadOwner | QFile::ExeOwner));
        }
        const QByteArray path = qgetenv("PATH");
        const auto restore = qScopeGuard([&] { qputenv("PATH", path); });
        qputenv("PATH", QFile::encodeName(bin));
        f.main->command(cmd::ViewHelp);
        QVERIFY(QTest::qWaitFor([] {  // the openers have ended and are gone
            return QCoreApplication::instance()
                ->findChildren<QProcess*>(Qt::FindDirectChildrenOnly)
                .isEmpty();
        }));
        QFile opened(noted);
        QCOMPARE(opened.open(QIODevice::ReadOnly) ? opened.readAll() : "(none)",
                 status >= 0 ? (guide + "\n").toUtf8() : "(none)");
        QCOMPARE(f.presenter.shown.join(""), status == 0 ? "" : kNoReader);
    }

    // The install rules put the program in <prefix>/bin and the guide in
    // <prefix>/share/doc/quorvel; the build makes the guide at the same place.
    void guideBesideTheProgram() {
        QCOMPARE(installed_guide_path("/opt/quorvel/bin/"),
                 QString("/opt/quorvel/share/doc/quorvel/tamselhelp.pdf"));
        QFile pdf(installed_guide_path(QUORVEL_PROGRAM_DIR));
        QVERIFY2(pdf.open(QIODevice::ReadOnly), qPrintable(pdf.fileName()));
        QCOMPARE(pdf.read(5), QByteArray("%PDF-"));
    }
};

static const RegisterTestClass<HelpTest> registered;

}  // namespace quorvel::uitest

#include "help_test.moc"
