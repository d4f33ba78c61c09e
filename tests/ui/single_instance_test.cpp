// The single-copy guard: a second start hands its line to the running copy and ends; a folder
// or lock that cannot be trusted lets the program start unguarded, touching nothing; leftovers
// of a crashed copy block nothing; no peer can hang the running copy.

#include "shell/single_instance.h"

#include <errno.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <cstring>
#include <vector>

#include "ui_fixture.h"

namespace quorvel::uitest {

namespace {

QByteArray native(const QString& path) {
    return QFile::encodeName(path);
}

sockaddr_un address_of(const QString& socket_path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const QByteArray bytes = native(socket_path);
    std::memcpy(addr.sun_path, bytes.constData(), bytes.size());
    return addr;
}

// A client of the running copy's socket that is not a second start; -1 when none connects.
int connect_raw(const QString& dir) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un addr = address_of(dir + "/quorvel.socket");
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Sends bytes as a raw peer, then ends its side unless told not to; true once the running copy
// has read what it wanted and hung up.
bool send_raw(const QString& dir, const QByteArray& bytes, bool end_side = true) {
    const int fd = connect_raw(dir);
    if (fd < 0) return false;
    qsizetype sent = 0;
    const bool written = QTest::qWaitFor([&] {
        while (sent < bytes.size()) {
            const ssize_t n = ::send(fd, bytes.constData() + sent, bytes.size() - sent,
                                     MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                sent += n;
            } else {
                // Full buffer: let the running copy read. Anything else: it hung up.
                return !(errno == EAGAIN || errno == EINTR);
            }
        }
        return true;
    });
    if (!written) {
        ::close(fd);
        return false;
    }
    if (end_side) ::shutdown(fd, SHUT_WR);
    const bool hung_up = QTest::qWaitFor([fd] {
        char byte;
        const ssize_t n = ::recv(fd, &byte, 1, MSG_DONTWAIT);
        return n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR);
    });
    ::close(fd);
    return hung_up;
}

// A socket file left behind by a copy that ended without removing it.
void plant_stale_socket(const QString& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    const sockaddr_un addr = address_of(path);
    QVERIFY(::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0);
    ::close(fd);
}

// Everything about path a start could disturb: type, mode, owner, link target, folder
// entries, file content.
QString describe(const QString& path) {
    struct stat st {};
    if (::lstat(native(path).constData(), &st) != 0) return "absent";
    QString d = QStringLiteral("mode %1 uid %2").arg(st.st_mode, 0, 8).arg(st.st_uid);
    if (S_ISLNK(st.st_mode)) {
        const QString target = QFile::symLinkTarget(path);
        d += " -> " + target + " [" + describe(target) + "]";
    } else if (S_ISDIR(st.st_mode)) {
        const auto entries = QDir(path).entryList(QDir::AllEntries | QDir::NoDotAndDotDot |
                                                  QDir::Hidden | QDir::System);
        d += " {" + entries.join(',') + "}";
    } else {
        QFile f(path);
        if (f.open(QIODevice::ReadOnly)) d += " " + QString::fromLatin1(f.readAll().toHex());
    }
    return d;
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

enum class Planted {
    Nothing,
    SymlinkToPrivateFolder,
    DanglingSymlink,
    GroupReadable,
    OthersSearchable,
    RegularFile,
    MissingParent,
    LockIsFolder,
};

}  // namespace

class SingleInstanceTest : public QObject {
    Q_OBJECT

  private slots:
    void secondStartHandsOverItsLine_data() {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("raises");
        QTest::addColumn<QByteArrayList>("requests");
        QTest::newRow("raise") << QByteArray("raise") << 1 << QByteArrayList{};
        QTest::newRow("open a method file")
            << QByteArray("open /data/run 1.pmf") << 0 << QByteArrayList{"open /data/run 1.pmf"};
        QTest::newRow("longest line")
            << QByteArray(SingleInstance::max_line_bytes, 'x') << 0
            << QByteArrayList{QByteArray(SingleInstance::max_line_bytes, 'x')};
    }
    void secondStartHandsOverItsLine() {
        QFETCH(QByteArray, request);
        QFETCH(int, raises);
        QFETCH(QByteArrayList, requests);
        QTemporaryDir dir;
        RunningCopy first(dir.path());
        QCOMPARE(first.instance.acquire(), InstanceResult::Sole);
        QCOMPARE(first.instance.problem(), QString());

        SingleInstance second(dir.path());
        QCOMPARE(second.acquire(request), InstanceResult::AnotherRuns);
        QCOMPARE(second.problem(), QString());
        QTRY_COMPARE(first.raises + first.requests.size(), raises + requests.size());
        QCOMPARE(first.raises, raises);
        QCOMPARE(first.requests, requests);
    }

    // What the running copy makes of whatever a peer writes before it ends its side.
    void linesFromPeers_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("raises");
        QTest::addColumn<QByteArrayList>("requests");
        QTest::newRow("raise, then a request")
            << QByteArray("raise\nopen x.pmf\n") << 1 << QByteArrayList{"open x.pmf"};
        QTest::newRow("CR LF and empty lines")
            << QByteArray("\n\r\nraise\r\n\n") << 1 << QByteArrayList{};
        QTest::newRow("binary garbage line") << QByteArray("\xff\x01 raise\n", 9) << 0
                                             << QByteArrayList{QByteArray("\xff\x01 raise")};
        QTest::newRow("unfinished line") << QByteArray("raise") << 0 << QByteArrayList{};
        QTest::newRow("nothing") << QByteArray() << 0 << QByteArrayList{};
        QTest::newRow("100 KB without a newline, then raise")
            << QByteArray(100 * 1024, 'j') + "\nraise\n"
            << 0 << QByteArrayList{};
        QTest::newRow("a line too long among good ones")
            << "raise\n" + QByteArray(SingleInstance::max_line_bytes + 1, 'j') + "\nraise\n"
            << 1 << QByteArrayList{};
    }
    void linesFromPeers() {
        QFETCH(QByteArray, bytes);
        QFETCH(int, raises);
        QFETCH(QByteArrayList, requests);
        QTemporaryDir dir;
        RunningCopy first(dir.path());
        QCOMPARE(first.instance.acquire(), InstanceResult::Sole);
        // Once it has hung up, it has handled every line it will ever take from the peer.
        QVERIFY(send_raw(dir.path(), bytes));
        QCOMPARE(first.raises, raises);
        QCOMPARE(first.requests, requests);
    }

    // Peers that never speak, or only speak garbage, do not keep the next start waiting.
    void silentAndJunkPeersDoNotHang() {
        QTemporaryDir dir;
        RunningCopy first(dir.path());
        QCOMPARE(first.instance.acquire(), InstanceResult::Sole);
        std::vector<int> silent;
        for (int i = 0; i < 20; ++i) {
            silent.push_back(connect_raw(dir.path()));
            QVERIFY(silent.back() >= 0);
            QCoreApplication::processEvents();
        }
        // Junk is not kept: the running copy hangs up while the peer still holds its side.
        QVERIFY(send_raw(dir.path(), QByteArray(100 * 1024, '\0'), false));

        SingleInstance second(dir.path());
        QCOMPARE(second.acquire(), InstanceResult::AnotherRuns);
        QTRY_COMPARE(first.raises, 1);
        for (int fd : silent) ::close(fd);
    }

    // The lock decides who runs; what a copy that is gone left behind blocks nothing.
    void leftoversOfAnEndedCopy_data() {
        QTest::addColumn<int>("leftover");
        QTest::newRow("socket and lock of a crashed copy") << 0;
        QTest::newRow("a plain file named like the socket") << 1;
        QTest::newRow("a copy that ended normally") << 2;
    }
    void leftoversOfAnEndedCopy() {
        QFETCH(int, leftover);
        QTemporaryDir dir;
        const QString socket_path = dir.path() + "/quorvel.socket";
        if (leftover == 0) {
            plant_stale_socket(socket_path);
            QFile lock(dir.path() + "/quorvel.lock");
            QVERIFY(lock.open(QIODevice::WriteOnly));
        } else if (leftover == 1) {
            QFile file(socket_path);
            QVERIFY(file.open(QIODevice::WriteOnly));
        } else {
            {
                SingleInstance ended(dir.path());
                QCOMPARE(ended.acquire(), InstanceResult::Sole);
            }
            QVERIFY(!QFile::exists(socket_path));
        }

        RunningCopy first(dir.path());
        QCOMPARE(first.instance.acquire(), InstanceResult::Sole);
        QCOMPARE(first.instance.problem(), QString());
        SingleInstance second(dir.path());
        QCOMPARE(second.acquire(), InstanceResult::AnotherRuns);
        QTRY_COMPARE(first.raises, 1);
    }

    // A copy holds the lock but cannot be reached: the start still ends, in bounded time, and
    // says why.
    void unreachableRunningCopy_data() {
        QTest::addColumn<bool>("stale_socket");
        QTest::newRow("no socket") << false;
        QTest::newRow("socket no one listens on") << true;
    }
    void unreachableRunningCopy() {
        QFETCH(bool, stale_socket);
        QTemporaryDir dir;
        const int holder =
            ::open(native(dir.path() + "/quorvel.lock").constData(), O_RDWR | O_CREAT, 0600);
        QVERIFY(holder >= 0);
        QVERIFY(::flock(holder, LOCK_EX | LOCK_NB) == 0);
        if (stale_socket) plant_stale_socket(dir.path() + "/quorvel.socket");

        SingleInstance second(dir.path());
        QCOMPARE(second.acquire(), InstanceResult::AnotherRuns);
        QVERIFY2(second.problem().contains("could not be reached"), qPrintable(second.problem()));
        ::close(holder);
    }

    // Anything in the folder's place that is not a private folder of this user: the program
    // starts unguarded, says why, and leaves it as it was.
    void untrustedFolder_data() {
        QTest::addColumn<Planted>("planted");
        QTest::addColumn<InstanceResult>("result");
        QTest::addColumn<QString>("reason");
        QTest::newRow("missing: created private")
            << Planted::Nothing << InstanceResult::Sole << QString();
        QTest::newRow("symlink to a private folder")
            << Planted::SymlinkToPrivateFolder << InstanceResult::Unguarded
            << QString("is a symbolic link");
        QTest::newRow("dangling symlink") << Planted::DanglingSymlink << InstanceResult::Unguarded
                                          << QString("is a symbolic link");
        QTest::newRow("group may read") << Planted::GroupReadable << InstanceResult::Unguarded
                                        << QString("open to other users (mode 0750)");
        QTest::newRow("others may enter") << Planted::OthersSearchable << InstanceResult::Unguarded
                                          << QString("open to other users (mode 0701)");
        QTest::newRow("regular file")
            << Planted::RegularFile << InstanceResult::Unguarded << QString("is not a folder");
        QTest::newRow("parent missing")
            << Planted::MissingParent << InstanceResult::Unguarded << QString("cannot create");
        QTest::newRow("lock file is a folder") << Planted::LockIsFolder << InstanceResult::Unguarded
                                               << QString("cannot open the lock file");
    }
    void untrustedFolder() {
        QFETCH(Planted, planted);
        QFETCH(InstanceResult, result);
        QFETCH(QString, reason);
        QTemporaryDir base;
        QString folder = base.path() + "/quorvel-fallback";
        const QByteArray path = native(folder);
        const QString elsewhere = base.path() + "/elsewhere";
        switch (planted) {
            case Planted::Nothing:
                break;
            case Planted::SymlinkToPrivateFolder:
                QVERIFY(::mkdir(native(elsewhere).constData(), 0700) == 0);
                QVERIFY(::symlink(native(elsewhere).constData(), path.constData()) == 0);
                break;
            case Planted::DanglingSymlink:
                QVERIFY(::symlink(native(elsewhere).constData(), path.constData()) == 0);
                break;
            case Planted::GroupReadable:
            case Planted::OthersSearchable:
                QVERIFY(::mkdir(path.constData(), 0700) == 0);
                QVERIFY(::chmod(path.constData(),
                                planted == Planted::GroupReadable ? 0750 : 0701) == 0);
                break;
            case Planted::RegularFile: {
                QFile file(folder);
                QVERIFY(file.open(QIODevice::WriteOnly));
                file.write("someone's data");
                break;
            }
            case Planted::MissingParent:
                folder = base.path() + "/no-such/quorvel-fallback";
                break;
            case Planted::LockIsFolder:
                QVERIFY(::mkdir(path.constData(), 0700) == 0);
                QVERIFY(::mkdir(native(folder + "/quorvel.lock").constData(), 0700) == 0);
                break;
        }
        const QString before = describe(folder);

        SingleInstance instance(folder);
        QCOMPARE(instance.acquire(), result);
        if (result == InstanceResult::Sole) {
            QCOMPARE(SingleInstance::folder_problem(folder, ::getuid()), QString());
            return;
        }
        QVERIFY2(instance.problem().contains(reason), qPrintable(instance.problem()));
        QVERIFY2(instance.problem().contains(folder), qPrintable(instance.problem()));
        QCOMPARE(describe(folder), before);
        QCOMPARE(describe(elsewhere), planted == Planted::SymlinkToPrivateFolder
                                          ? QStringLiteral("mode 40700 uid %1 {}").arg(::getuid())
                                          : QStringLiteral("absent"));
    }

    // Owner checked against the uid given, so the test means the same as root.
    void folderOwner_data() {
        QTest::addColumn<bool>("own");
        QTest::addColumn<QString>("problem");
        QTest::newRow("this user's folder") << true << QString();
        QTest::newRow("another user's folder") << false << QString("belongs to user");
    }
    void folderOwner() {
        QFETCH(bool, own);
        QFETCH(QString, problem);
        QTemporaryDir dir;
        const uid_t uid = own ? ::getuid() : ::getuid() + 1;
        const QString why = SingleInstance::folder_problem(dir.path(), uid);
        QCOMPARE(why.isEmpty(), problem.isEmpty());
        QVERIFY2(why.contains(problem), qPrintable(why));
    }
};

static const RegisterTestClass<SingleInstanceTest> registered;

}  // namespace quorvel::uitest

#include "single_instance_test.moc"
