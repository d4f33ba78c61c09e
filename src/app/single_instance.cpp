#include "single_instance.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QSocketNotifier>
#include <QTimer>
#include <chrono>
#include <cstring>
#include <thread>

namespace quorvel {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The running copy may have taken the lock a moment ago and not listen yet.
constexpr milliseconds connect_window{2000};
constexpr milliseconds connect_retry{50};
constexpr milliseconds write_window{1000};
// A second start writes its line at once; a peer still connected after this has nothing to say.
constexpr int peer_lifetime_ms = 10000;
constexpr std::size_t max_peers = 8;
// Reads per wake-up, so that a peer streaming lines cannot hold the window thread.
constexpr int reads_per_wakeup = 16;

QString error_text(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

QString unguarded(const QString& reason) {
    return reason + QStringLiteral("; starting without the check for a second copy");
}

bool socket_address(const QString& path, sockaddr_un& addr) {
    const QByteArray bytes = QFile::encodeName(path);
    addr = {};
    addr.sun_family = AF_UNIX;
    if (bytes.size() >= static_cast<qsizetype>(sizeof addr.sun_path)) return false;
    std::memcpy(addr.sun_path, bytes.constData(), bytes.size());
    return true;
}

// Writes all of data before the deadline; 0 or the errno of the failure (ETIMEDOUT).
int write_all(int fd, const QByteArray& data, Clock::time_point deadline) {
    qsizetype done = 0;
    while (done < data.size()) {
        // MSG_NOSIGNAL: a copy that went away must not end this one with SIGPIPE.
        const ssize_t n =
            ::send(fd, data.constData() + done, data.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += n;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return errno;
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return ETIMEDOUT;
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, static_cast<int>(left)) < 0 && errno != EINTR) return errno;
    }
    return 0;
}

}  // namespace

struct SingleInstance::Peer {
    UniqueFd fd;
    QByteArray pending;  // bytes after the last newline
    QSocketNotifier* notifier = nullptr;
    QTimer* lifetime = nullptr;
};

SingleInstance::SingleInstance(QString dir)
    : dir_(QDir::cleanPath(dir.isEmpty() ? default_dir() : std::move(dir))) {}

SingleInstance::~SingleInstance() {
    while (!peers_.empty()) drop_peer(peers_.front().get());
    // The notifier goes before the socket it watches.
    delete server_notifier_;
    server_notifier_ = nullptr;
    if (server_fd_) {
        // Removed while the lock is still held, so it cannot be a later copy's socket.
        ::unlink(QFile::encodeName(dir_ + "/quorvel.socket").constData());
        server_fd_.reset();
    }
    lock_fd_.reset();
}

QString SingleInstance::default_dir() {
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QDir::isAbsolutePath(runtime)) return runtime;
    return QDir::tempPath() + QStringLiteral("/quorvel-%1").arg(::getuid());
}

QString SingleInstance::folder_problem(const QString& dir, uid_t uid) {
    struct stat st {};
    // lstat: a symlink planted in a shared folder would send the lock somewhere else.
    if (::lstat(QFile::encodeName(dir).constData(), &st) != 0)
        return QStringLiteral("cannot examine %1: %2").arg(dir, error_text(errno));
    if (S_ISLNK(st.st_mode)) return QStringLiteral("%1 is a symbolic link").arg(dir);
    if (!S_ISDIR(st.st_mode)) return QStringLiteral("%1 is not a folder").arg(dir);
    if (st.st_uid != uid) return QStringLiteral("%1 belongs to user %2").arg(dir).arg(st.st_uid);
    if ((st.st_mode & 077) != 0)
        return QStringLiteral("%1 is open to other users (mode %2)")
            .arg(dir)
            .arg(st.st_mode & 07777, 4, 8, QLatin1Char('0'));
    return {};
}

bool SingleInstance::prepare_folder() {
    if (::mkdir(QFile::encodeName(dir_).constData(), 0700) != 0 && errno != EEXIST) {
        problem_ = unguarded(QStringLiteral("cannot create %1: %2").arg(dir_, error_text(errno)));
        return false;
    }
    // Never repaired: a folder that is not ours is not ours to chmod or delete.
    const QString why = folder_problem(dir_, ::getuid());
    if (!why.isEmpty()) {
        problem_ = unguarded(why);
        return false;
    }
    return true;
}

InstanceResult SingleInstance::acquire(const QByteArray& request) {
    problem_.clear();
    if (lock_fd_) return InstanceResult::Sole;
    if (!prepare_folder()) return InstanceResult::Unguarded;

    const QString lock_path = dir_ + "/quorvel.lock";
    // O_NONBLOCK: a FIFO in its place must not hang the start.
    UniqueFd fd(::open(QFile::encodeName(lock_path).constData(),
                       O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0600));
    if (!fd) {
        problem_ = unguarded(
            QStringLiteral("cannot open the lock file %1: %2").arg(lock_path, error_text(errno)));
        return InstanceResult::Unguarded;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        problem_ = unguarded(QStringLiteral("the lock file %1 is not a file").arg(lock_path));
        return InstanceResult::Unguarded;
    }
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        fd.reset();
        if (error == EWOULDBLOCK) {
            hand_over(request);
            return InstanceResult::AnotherRuns;
        }
        problem_ =
            unguarded(QStringLiteral("cannot lock %1: %2").arg(lock_path, error_text(error)));
        return InstanceResult::Unguarded;
    }
    lock_fd_ = std::move(fd);
    listen();
    return InstanceResult::Sole;
}

bool SingleInstance::listen() {
    const QString path = dir_ + "/quorvel.socket";
    const auto fail = [&](const QString& why) {
        problem_ = QStringLiteral(
                       "cannot listen at %1: %2; a second start cannot bring this "
                       "window to the front")
                       .arg(path, why);
        server_fd_.reset();
        return false;
    };
    sockaddr_un addr;
    if (!socket_address(path, addr)) return fail(QStringLiteral("the path is too long"));
    // The lock is ours, so whatever is left here belongs to a copy that is gone.
    ::unlink(addr.sun_path);
    server_fd_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!server_fd_) return fail(error_text(errno));
    if (::bind(server_fd_.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
        return fail(error_text(errno));
    if (::listen(server_fd_.get(), 8) != 0) {
        const int error = errno;
        ::unlink(addr.sun_path);
        return fail(error_text(error));
    }
    server_notifier_ = new QSocketNotifier(server_fd_.get(), QSocketNotifier::Read, this);
    connect(server_notifier_, &QSocketNotifier::activated, this, [this] { accept_peers(); });
    return true;
}

void SingleInstance::accept_peers() {
    for (;;) {
        UniqueFd fd(::accept4(server_fd_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!fd) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                // Out of descriptors or memory: the socket stays readable, so pause rather
                // than spin on it.
                server_notifier_->setEnabled(false);
                QTimer::singleShot(1000, this, [this] { server_notifier_->setEnabled(true); });
            }
            return;
        }
        // Only this user's own programs may talk to it, whatever the folder allows.
        ucred cred{};
        socklen_t size = sizeof cred;
        if (::getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &cred, &size) != 0 ||
            cred.uid != ::getuid()) {
            continue;
        }
        if (peers_.size() >= max_peers) drop_peer(peers_.front().get());

        auto peer = std::make_unique<Peer>();
        Peer* p = peer.get();
        p->fd = std::move(fd);
        p->notifier = new QSocketNotifier(p->fd.get(), QSocketNotifier::Read, this);
        connect(p->notifier, &QSocketNotifier::activated, this, [this, p] { read_peer(p); });
        p->lifetime = new QTimer(this);
        p->lifetime->setSingleShot(true);
        connect(p->lifetime, &QTimer::timeout, this, [this, p] { drop_peer(p); });
        p->lifetime->start(peer_lifetime_ms);
        peers_.push_back(std::move(peer));
    }
}

void SingleInstance::read_peer(Peer* peer) {
    std::vector<QByteArray> lines;
    bool done = false;
    char chunk[4096];
    for (int reads = 0; reads < reads_per_wakeup && !done; ++reads) {
        const ssize_t n = ::read(peer->fd.get(), chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        if (n <= 0) {
            // End of stream (an unfinished last line is not a request) or a failed peer.
            done = true;
            break;
        }
        peer->pending.append(chunk, n);
        qsizetype start = 0;
        for (qsizetype end; (end = peer->pending.indexOf('\n', start)) >= 0; start = end + 1) {
            if (end - start > max_line_bytes) {
                done = true;
                break;
            }
            lines.push_back(peer->pending.mid(start, end - start));
        }
        peer->pending.remove(0, start);
        // Garbage without a newline: stop reading it rather than keep it.
        if (peer->pending.size() > max_line_bytes) done = true;
    }
    if (done) drop_peer(peer);
    // Last, so that a callback that runs an event loop finds the peers in order.
    for (const QByteArray& line : lines) handle_line(line);
}

void SingleInstance::drop_peer(Peer* peer) {
    // The notifier may be the one delivering this call, so it goes later, silenced now.
    peer->notifier->setEnabled(false);
    peer->notifier->disconnect();
    peer->notifier->deleteLater();
    peer->lifetime->stop();
    peer->lifetime->disconnect();
    peer->lifetime->deleteLater();
    peer->fd.reset();
    std::erase_if(peers_, [peer](const std::unique_ptr<Peer>& p) { return p.get() == peer; });
}

void SingleInstance::handle_line(const QByteArray& line) {
    const QByteArray text = line.endsWith('\r') ? line.chopped(1) : line;
    if (text.isEmpty()) return;
    if (text == "raise") {
        if (raise_) raise_();
    } else if (request_) {
        request_(text);
    }
}

bool SingleInstance::hand_over(const QByteArray& request) {
    const QString path = dir_ + "/quorvel.socket";
    const auto fail = [&](const QString& why) {
        problem_ = QStringLiteral("another copy is running, but it could not be reached at %1: %2")
                       .arg(path, why);
        return false;
    };
    if (request.contains('\n') || request.size() > max_line_bytes)
        return fail(QStringLiteral("the request is not one line"));
    sockaddr_un addr;
    if (!socket_address(path, addr)) return fail(QStringLiteral("the path is too long"));

    const auto connect_deadline = Clock::now() + connect_window;
    UniqueFd fd;
    for (;;) {
        fd.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (!fd) return fail(error_text(errno));
        if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) break;
        const int error = errno;
        fd.reset();
        // No socket yet, or a stale one, or a full backlog: the running copy may be starting.
        const bool worth_retrying =
            error == ENOENT || error == ECONNREFUSED || error == EAGAIN || error == EINTR;
        if (!worth_retrying || Clock::now() >= connect_deadline) return fail(error_text(error));
        std::this_thread::sleep_for(connect_retry);
    }
    const int error = write_all(fd.get(), request + '\n', Clock::now() + write_window);
    fd.reset();
    return error == 0 || fail(error_text(error));
}

}  // namespace quorvel
