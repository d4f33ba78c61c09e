// The single-copy guard: a second start hands its line to the running copy and ends; a folder
// or lock that cannot be trusted lets the program start unguarded, touching nothing; leftovers
// of a crashed copy block nothing; no peer can hang the running copy.

#include "app/single_instance.h"

#include <errno.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <cstring>
#include <vector>

#include "ui_test_classes.h"

namespace quorvel::uitest {

using namespace Qt::StringLiterals;

namespace {

sockaddr_un address_of(const QString& socket_path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const QByteArray bytes = QFile::encodeName(socket_path);
    std::memcpy(addr.sun_path, bytes.constData(), bytes.size());
    return addr;
}

// A socket file left behind by a copy that ended without removing it.
void plant_stale_socket(const QString& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    const sockaddr_un addr = address_of(path);
    QVERIFY(::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0);
    ::close(fd);
}

// A client of the running copy's socket that is not a second start, having sent bytes (far
// fewer than a socket buffer holds, so they go at once); -1 when that fails.
int raw_peer(const QString& dir, const QByteArray& bytes = {}) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un addr = address_of(dir + "/quorvel.socket");
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
        ::send(fd, bytes.constData(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT) != bytes.size()) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// True once the running copy has hung up on the peer, which is closed then.
bool hangs_up(int peer) {
    if (peer < 0) return false;
    const bool hung_up = QTest::qWaitFor([peer] {
        char byte;
        const ssize_t n = ::recv(peer, &byte, 1, MSG_DONTWAIT);
        return n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR);
    });
    ::close(peer);
    return hung_up;
}

// Type, mode, owner, size, inode, time and link target of everything below dir.
QStringList snapshot(const QString& dir) {
    QStringList all;
    QDirIterator it(dir, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        struct stat st {};
        ::lstat(QFile::encodeName(path).constData(), &st);
        all << QStringLiteral("%1 %2 %3 %4 %5 %6.%7 %8")
                   .arg(path)
                   .arg(st.st_mode, 0, 8)
                   .arg(st.st_uid)
                   .arg(st.st_size)
                   .arg(st.st_ino)
                   .arg(st.st_mtim.tv_sec)
                   .arg(st.st_mtim.tv_nsec)
                   .arg(QFile::symLinkTarget(path));
    }
    all.sort();
    return all;
}

// Creates a private folder, then sets its mode (mkdir's is filtered by the umask).
bool make_folder(const QString& path, mode_t mode = 0700) {
    const QByteArray p = QFile::encodeName(path);
    return ::mkdir(p.constData(), 0700) == 0 && ::chmod(p.constData(), mode) == 0;
}

bool make_file(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write("data") == 4;
}

// The running copy, counting what later starts asked of it.
struct RunningCopy {
    explicit RunningCopy(const QString& dir) : instance(dir) {
        instance.on_raise_request([this] { ++raises; });
        instance.on_request([this](const QByteArray& line) { requests << line; });
    }
    SingleInstance instance;
    int raises = 0;
    QByteArrayList requests;
};

}  // namespace

class SingleInstanceTest : public QObject {
    Q_OBJECT

  private slots:
    // The lock decides who runs: whatever a copy that is gone left behind blocks nothing, and
    // a copy that ends takes its socket with it.
    void secondStartHandsOverItsLine_data() {
        QTest::addColumn<QString>("leftover");
        QTest::addColumn<bool>("stale_socket");
        QTest::addColumn<QByteArray>("request");
        const QByteArray longest(SingleInstance::max_line_bytes, 'x');
        QTest::newRow("no folder yet, the longest line") << "" << false << longest;
        QTest::newRow("socket and lock of a crashed copy") << "quorvel.lock" << true << "raise"_ba;
        QTest::newRow("a plain file named like the socket")
            << "quorvel.socket" << false << "raise"_ba;
    }
    void secondStartHandsOverItsLine() {
        QFETCH(QString, leftover);
        QFETCH(bool, stale_socket);
        QFETCH(QByteArray, request);
        QTemporaryDir base;
        const QString dir = base.path() + "/quorvel";
        if (!leftover.isEmpty()) QVERIFY(make_folder(dir) && make_file(dir + "/" + leftover));
        if (stale_socket) plant_stale_socket(dir + "/quorvel.socket");
        {
            RunningCopy first(dir);
            QCOMPARE(first.instance.acquire(), InstanceResult::Sole);
            QCOMPARE(first.instance.problem(), QString());
            SingleInstance second(dir);
            QCOMPARE(second.acquire(request), InstanceResult::AnotherRuns);
            QCOMPARE(second.problem(), QString());
            QTRY_COMPARE(first.raises + first.requests.size(), 1);
            QCOMPARE(first.requests,
                     request == "raise" ? QByteArrayList{} : QByteArrayList{request});
        }
        QVERIFY(!QFile::exists(dir + "/quorvel.socket"));
    }

    // What the running copy makes of what peers write before they end their side: empty lines
    // and CRs are dropped, "raise" counts only as a whole line, other bytes are a request,
    // an unfinished last line is none, and a line too long ends the peer.
    void linesFromPeers() {
        QTemporaryDir dir;
        RunningCopy first(dir.path());
        QCOMPARE(first.instance.acquire(), InstanceResult::Sole);
        const QByteArray too_long(SingleInstance::max_line_bytes + 1, 'j');
        for (const QByteArray& bytes :
             {QByteArray("\n\r\nraise\r\n\xff\x01 raise\nopen x.pmf\r\nraise"),
              "raise\n" + too_long + "\nraise\n"}) {
            const int peer = raw_peer(dir.path(), bytes);
            QVERIFY(peer >= 0);
            ::shutdown(peer, SHUT_WR);
            // Once it has hung up, it has handled every line it will ever take from the peer.
            QVERIFY(hangs_up(peer));
        }
        QCOMPARE(first.raises, 2);
        QCOMPARE(first.requests, (QByteArrayList{"\xff\x01 raise", "open x.pmf"}));
    }

    // Peers that never speak, or only speak junk, do not keep the next start out.
    void silentAndJunkPeersDoNotHang() {
        QTemporaryDir dir;
        RunningCopy first(dir.path());
        QCOMPARE(first.instance.acquire(), InstanceResult::Sole);
        std::vector<int> silent;
        for (int i = 0; i < 20; ++i) {
            silent.push_back(raw_peer(dir.path()));
            QVERIFY(silent.back() >= 0);
            QCoreApplication::processEvents();
        }
        // Junk is not kept: the running copy hangs up while the peer still holds its side.
        QVERIFY(hangs_up(raw_peer(dir.path(), QByteArray(SingleInstance::max_line_bytes + 1, 0))));

        SingleInstance second(dir.path());
        QCOMPARE(second.acquire(), InstanceResult::AnotherRuns);
        QTRY_COMPARE(first.raises, 1);
        for (int fd : silent) ::close(fd);
    }

    // A copy holds the lock but cannot be reached: the start still ends and says why.
    void unreachableRunningCopy() {
        QTemporaryDir dir;
        const QByteArray lock = QFile::encodeName(dir.path() + "/quorvel.lock");
        const int holder = ::open(lock.constData(), O_RDWR | O_CREAT, 0600);
        QVERIFY(::flock(holder, LOCK_EX | LOCK_NB) == 0);
        plant_stale_socket(dir.path() + "/quorvel.socket");

        SingleInstance second(dir.path());
        QCOMPARE(second.acquire(), InstanceResult::AnotherRuns);
        QVERIFY2(second.problem().contains("could not be reached"), qPrintable(second.problem()));
        ::close(holder);
    }

    // Anything in the folder's place that is not a private folder of this user: the program
    // starts unguarded, says why, and leaves it as it was.
    void untrustedFolder_data() {
        QTest::addColumn<int>("planted");
        QTest::addColumn<QString>("reason");
        QTest::newRow("symlink to a private folder") << 0 << u"symbolic link"_s;
        QTest::newRow("group may read") << 1 << u"(mode 0750)"_s;
        QTest::newRow("others may enter") << 2 << u"(mode 0701)"_s;
        QTest::newRow("regular file") << 3 << u"is not a folder"_s;
        QTest::newRow("parent missing") << 4 << u"cannot create"_s;
        QTest::newRow("lock file is a folder") << 5 << u"cannot open the lock file"_s;
    }
    void untrustedFolder() {
        QFETCH(int, planted);
        QFETCH(QString, reason);
        QTemporaryDir base;
        const QString folder = base.path() + (planted == 4 ? "/no-such" : "") + "/quorvel";
        switch (planted) {
            case 0:
                QVERIFY(make_folder(base.path() + "/elsewhere"));
                QVERIFY(::symlink("elsewhere", QFile::encodeName(folder).constData()) == 0);
                break;
            case 1:
            case 2:
                QVERIFY(make_folder(folder, planted == 1 ? 0750 : 0701));
                break;
            case 3:
                QVERIFY(make_file(folder));
                break;
            case 5:
                QVERIFY(make_folder(folder) && make_folder(folder + "/quorvel.lock"));
                break;
        }
        const QStringList before = snapshot(base.path());

        SingleInstance instance(folder);
        QCOMPARE(instance.acquire(), InstanceResult::Unguarded);
        QVERIFY2(instance.problem().contains(reason), qPrintable(instance.problem()));
        QVERIFY2(instance.problem().contains(folder), qPrintable(instance.problem()));
        QCOMPARE(snapshot(base.path()), before);
    }

    // Owner checked against the uid given, so the test means the same as root.
    void anotherUsersFolder() {
        QTemporaryDir dir;
        const QString why = SingleInstance::folder_problem(dir.path(), ::getuid() + 1);
        QVERIFY2(why.contains("belongs to user"), qPrintable(why));
    }
};

static const RegisterTestClass<SingleInstanceTest> registered;

}  // namespace quorvel::uitest

#include "single_instance_test.moc"
