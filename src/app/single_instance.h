#pragma once
// One copy of the program per user: a lock file in a private folder decides which copy runs;
// the running copy listens on a Unix socket beside it, and a second start hands it one line
// ("raise" to bring its window to the front) before it ends. Window thread only.
//
// Only a running copy makes a start end quietly. When the folder or the lock cannot be used,
// the program still starts, unguarded, and says why: a broken lock must never keep an
// operator from the pump.

#include <sys/types.h>

#include <QByteArray>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <vector>

#include "common/unique_fd.h"

class QSocketNotifier;

namespace quorvel {

enum class InstanceResult {
    Sole,         // this is the only copy; it holds the lock
    AnotherRuns,  // another copy holds the lock and has been handed the request
    Unguarded,    // the lock could not be used; problem() says why
};

class SingleInstance final : public QObject {
  public:
    // The longest line either side accepts, newline excluded: room for a command and a path.
    static constexpr int max_line_bytes = 8192;

    // dir: the folder for the lock and the socket (default_dir() when empty). It is created
    // 0700 when missing and must be a real folder of this user that no one else may enter.
    explicit SingleInstance(QString dir = {});
    ~SingleInstance() override;

    // request: the line a second start hands to the running copy.
    InstanceResult acquire(const QByteArray& request = "raise");
    // Why the copy runs unguarded, or what else went wrong (a running copy that could not be
    // reached, a socket that could not be set up); empty when all went well.
    QString problem() const { return problem_; }

    // Called in the running copy for each "raise" line a later start sends.
    void on_raise_request(std::function<void()> raise) { raise_ = std::move(raise); }
    // Called in the running copy for every other non-empty line, without its newline.
    void on_request(std::function<void(const QByteArray&)> request) {
        request_ = std::move(request);
    }

    // $XDG_RUNTIME_DIR, or <temp>/quorvel-<uid> without one.
    static QString default_dir();
    // Why dir may not hold the lock of user uid (not a real folder, another owner, open to
    // group or others); empty when it may.
    static QString folder_problem(const QString& dir, uid_t uid);

  private:
    struct Peer;

    bool prepare_folder();
    bool listen();
    void accept_peers();
    void read_peer(Peer* peer);
    void drop_peer(Peer* peer);
    void handle_line(const QByteArray& line);
    bool hand_over(const QByteArray& request);

    QString dir_;
    QString problem_;
    UniqueFd lock_fd_;
    UniqueFd server_fd_;
    QSocketNotifier* server_notifier_ = nullptr;
    std::vector<std::unique_ptr<Peer>> peers_;
    std::function<void()> raise_;
    std::function<void(const QByteArray&)> request_;
};

}  // namespace quorvel
