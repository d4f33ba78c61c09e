// View Help: the help file in the start-up directory, else the guide installed with the
// program, else the message that help is missing; and the message when no viewer starts.

#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <optional>
#include <utility>
#include <vector>

#include "shell/desktop_documents.h"
#include "ui_fixture.h"

namespace quorvel::uitest {
namespace {

const QString kNotInstalled = "Help error: The help file is not installed.";

// A small file standing in for a PDF.
bool plant(const QString& path, const QByteArray& content) {
    if (!QDir().mkpath(QFileInfo(path).path())) return false;
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(content) == content.size();
}

// Environment variables set for one test (empty: unset), the old values put back after it.
class EnvironmentOverride {
  public:
    EnvironmentOverride(std::initializer_list<std::pair<const char*, QByteArray>> values) {
        for (const auto& [name, value] : values) {
            saved_.emplace_back(name, qEnvironmentVariableIsSet(name)
                                          ? std::optional<QByteArray>(qgetenv(name))
                                          : std::nullopt);
            value.isEmpty() ? qunsetenv(name) : qputenv(name, value);
        }
    }
    ~EnvironmentOverride() {
        for (const auto& [name, value] : saved_) value ? qputenv(name, *value) : qunsetenv(name);
    }

  private:
    std::vector<std::pair<const char*, std::optional<QByteArray>>> saved_;
};

// A process started from this threaded test process leaves ThreadSanitizer unable to start
// any thread after it, which ends the tests that follow; the default and AddressSanitizer
// builds run these tests.
#if defined(__SANITIZE_THREAD__)
#define SKIP_WITH_THREAD_SANITIZER() QSKIP("no child processes under ThreadSanitizer")
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define SKIP_WITH_THREAD_SANITIZER() QSKIP("no child processes under ThreadSanitizer")
#endif
#endif
#ifndef SKIP_WITH_THREAD_SANITIZER
#define SKIP_WITH_THREAD_SANITIZER()
#endif

// The openers started so far have ended and are gone.
bool openers_done() {
    return QTest::qWaitFor([] {
        return QCoreApplication::instance()
            ->findChildren<QProcess*>(Qt::FindDirectChildrenOnly)
            .isEmpty();
    });
}

class HelpTest : public QObject {
    Q_OBJECT

    static QString startup_help(const UiFixture& f) { return f.dir.path() + "/tamselhelp.pdf"; }
    // Where the guide lies for the fixture's program folder, <dir>/program/bin.
    static QString guide(const UiFixture& f) {
        return f.dir.path() + "/program/share/doc/quorvel/tamselhelp.pdf";
    }

  private slots:
    void helpFileInTheStartupDirectoryComesFirst() {
        UiFixture f;
        QVERIFY(plant(startup_help(f), "lab's own"));
        QVERIFY(plant(guide(f), "guide"));
        QCOMPARE(f.main->help_file_path(), startup_help(f));
        f.main->command(cmd::ViewHelp);
        QCOMPARE(f.documents_shown, QStringList{startup_help(f)});
        QCOMPARE(f.presenter.shown, QStringList{});
    }

    void installedGuideWhenTheStartupDirectoryHasNone() {
        UiFixture f;
        QVERIFY(plant(guide(f), "guide"));
        f.main->command(cmd::ViewHelp);
        QCOMPARE(f.documents_shown, QStringList{guide(f)});
        QCOMPARE(f.presenter.shown, QStringList{});
    }

    void neitherHelpFileNorGuide() {
        UiFixture f;
        f.main->command(cmd::ViewHelp);
        QCOMPARE(f.presenter.shown, QStringList{kNotInstalled});
        QCOMPARE(f.documents_shown, QStringList{});
    }

    // A folder or a FIFO under the help file's name is no help file; opening a FIFO to look
    // would wait for a writer that never comes.
    void onlyARegularFileIsAHelpFile() {
        for (const bool fifo : {false, true}) {
            UiFixture f;
            if (fifo) {
                QCOMPARE(::mkfifo(QFile::encodeName(startup_help(f)).constData(), 0600), 0);
            } else {
                QVERIFY(QDir().mkpath(startup_help(f)));
            }
            f.main->command(cmd::ViewHelp);
            QCOMPARE(f.presenter.shown, QStringList{kNotInstalled});
            QVERIFY(plant(guide(f), "guide"));
            f.main->command(cmd::ViewHelp);
            QCOMPARE(f.documents_shown, QStringList{guide(f)});
        }
    }

    void noViewer() {
        for (const bool in_startup_dir : {true, false}) {
            UiFixture f;
            f.viewer_starts = false;
            const QString path = in_startup_dir ? startup_help(f) : guide(f);
            QVERIFY(plant(path, "help"));
            f.main->command(cmd::ViewHelp);
            QCOMPARE(f.documents_shown, QStringList{path});
            QCOMPARE(f.presenter.shown,
                     QStringList{"Help file requires pdf reader.: You must have Adobe Reader to "
                                 "view help.\nYou can download Adobe Reader at " +
                                 QString(MainWindow::kReaderDownload) + "."});
        }
    }

    // The desktop's own opener, with a stand-in xdg-open alone on PATH that notes the file
    // and ends with the status given: only a failed xdg-open brings the message.
    void desktopOpener() {
        SKIP_WITH_THREAD_SANITIZER();
        for (const int status : {0, 3, 4}) {
            UiFixture f;
            f.app_services.documents.open = DesktopDocuments::standard().open;
            QVERIFY(plant(guide(f), "guide"));
            const QString bin = f.dir.path() + "/path";
            const QString noted = f.dir.path() + "/opened";
            QVERIFY(plant(bin + "/xdg-open", QString("#!/bin/sh\necho \"$1\" > '%1'\nexit %2\n")
                                                 .arg(noted)
                                                 .arg(status)
                                                 .toUtf8()));
            QVERIFY(QFile::setPermissions(bin + "/xdg-open",
                                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
            const EnvironmentOverride path({{"PATH", QFile::encodeName(bin)}});
            f.main->command(cmd::ViewHelp);
            QVERIFY(openers_done());
            QFile opened(noted);
            QVERIFY(opened.open(QIODevice::ReadOnly));
            QCOMPARE(opened.readAll(), (guide(f) + "\n").toUtf8());
            QCOMPARE(f.presenter.shown.size(), status == 0 ? 0 : 1);
            if (status != 0) QVERIFY(f.presenter.shown[0].startsWith("Help file requires pdf"));
        }
    }

    // No xdg-open and no other way to the desktop: the message at once.
    void noDesktopOpener() {
        UiFixture f;
        f.app_services.documents.open = DesktopDocuments::standard().open;
        QVERIFY(plant(guide(f), "guide"));
        QVERIFY(QDir().mkpath(f.dir.path() + "/empty"));
        const EnvironmentOverride path({{"PATH", QFile::encodeName(f.dir.path() + "/empty")},
                                        {"BROWSER", {}},
                                        {"DEFAULT_BROWSER", {}}});
        f.main->command(cmd::ViewHelp);
        QVERIFY(openers_done());
        QCOMPARE(f.presenter.shown.size(), 1);
        QVERIFY(f.presenter.shown[0].startsWith("Help file requires pdf reader.: "));
    }

    // The install rules put the program in <prefix>/bin and the guide in
    // <prefix>/share/doc/quorvel; the build puts the guide it makes at the same place
    // relative to the program it builds.
    void guideBesideTheProgram() {
        QCOMPARE(installed_guide_path("/usr/bin"),
                 QString("/usr/share/doc/quorvel/tamselhelp.pdf"));
        QCOMPARE(installed_guide_path("/opt/quorvel/bin/"),
                 QString("/opt/quorvel/share/doc/quorvel/tamselhelp.pdf"));
        const QString built = installed_guide_path(QUORVEL_PROGRAM_DIR);
        QVERIFY2(readable_document(built), qPrintable(built));
        QFile pdf(built);
        QVERIFY(pdf.open(QIODevice::ReadOnly));
        QCOMPARE(pdf.read(5), QByteArray("%PDF-"));
    }
};

static const RegisterTestClass<HelpTest> registered;

}  // namespace
}  // namespace quorvel::uitest

#include "help_test.moc"
