#include "desktop_documents.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QUrl>

#include "common/unique_fd.h"

namespace quorvel {
namespace {

// xdg-open is waited for, not just started: it is what finds out that no viewer handles the
// file, and says so only by its exit status. It may also run as long as the viewer does.
void open_with_desktop(const QString& path, std::function<void()> failed) {
    const QString opener = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
    if (opener.isEmpty()) {
        if (!QDesktopServices::openUrl(QUrl::fromLocalFile(path))) failed();
        return;
    }
    auto* process = new QProcess(QCoreApplication::instance());
    process->setProcessChannelMode(QProcess::ForwardedChannels);
    process->setStandardInputFile(QProcess::nullDevice());
    QObject::connect(process, &QProcess::finished, process,
                     [process, failed](int code, QProcess::ExitStatus status) {
                         // A crash exit is also how an opener still running at the program's
                         // end is stopped; nobody is left to tell then.
                         if (status == QProcess::NormalExit && code != 0) failed();
                         process->deleteLater();
                     });
    QObject::connect(process, &QProcess::errorOccurred, process,
                     [process, failed](QProcess::ProcessError error) {
                         if (error != QProcess::FailedToStart) return;
                         failed();
                         process->deleteLater();
                     });
    process->start(opener, {path});
}

}  // namespace

DesktopDocuments DesktopDocuments::standard() {
    return {QCoreApplication::applicationDirPath(), open_with_desktop};
}

QString installed_guide_path(const QString& program_dir) {
    return QDir::cleanPath(program_dir + "/../share/doc/quorvel/" + kHelpFileName);
}

bool readable_document(const QString& path) {
    if (path.isEmpty()) return false;
    const QByteArray name = QFile::encodeName(path);
    // Looked at before it is opened: opening a serial device raises its control lines.
    struct stat st {};
    if (::stat(name.constData(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    return UniqueFd(::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)).valid();
}

}  // namespace quorvel
