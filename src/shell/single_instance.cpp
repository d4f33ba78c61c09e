#include "single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>

namespace quorvel {

SingleInstance::SingleInstance(QString dir)
    : dir_(dir.isEmpty() ? default_dir() : std::move(dir)) {}

SingleInstance::~SingleInstance() {
    if (server_) server_->close();
    if (lock_fd_ >= 0) ::close(lock_fd_);
}

QString SingleInstance::default_dir() {
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty()) return runtime;
    return QDir::tempPath() + QStringLiteral("/quorvel-%1").arg(::getuid());
}

bool SingleInstance::acquire() {
    QDir().mkpath(dir_);
    const QString lock_path = dir_ + "/quorvel.lock";
    const QString socket_path = dir_ + "/quorvel.socket";
    lock_fd_ = ::open(QFile::encodeName(lock_path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock_fd_ >= 0 && ::flock(lock_fd_, LOCK_EX | LOCK_NB) == 0) {
        // The lock is ours: any socket file left is stale.
        QLocalServer::removeServer(socket_path);
        server_ = new QLocalServer(this);
        connect(server_, &QLocalServer::newConnection, this, [this] {
            while (QLocalSocket* peer = server_->nextPendingConnection()) {
                connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
                if (raise_) raise_();
            }
        });
        server_->listen(socket_path);
        return true;
    }
    // Another copy holds the lock; it may still be starting, so try for a little while.
    for (int attempt = 0; attempt < 20; ++attempt) {
        QLocalSocket socket;
        socket.connectToServer(socket_path);
        if (socket.waitForConnected(100)) {
            socket.write("raise\n");
            socket.waitForBytesWritten(500);
            socket.disconnectFromServer();
            break;
        }
        QThread::msleep(100);
    }
    return false;
}

}  // namespace quorvel
