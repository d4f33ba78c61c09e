#pragma once
// One copy of the program per user: a lock file in the user's runtime directory decides
// which copy runs; the running copy listens on a local socket beside it, so a second start
// can bring its window to the front before it exits. Window thread.

#include <QObject>
#include <QString>
#include <functional>

class QLocalServer;

namespace quorvel {

class SingleInstance final : public QObject {
  public:
    // dir: where the lock and the socket live (the runtime directory by default).
    explicit SingleInstance(QString dir = {});
    ~SingleInstance() override;

    // True when this is the only copy. Otherwise the running copy has been asked to come
    // to the front, and this one should end.
    bool acquire();
    // Called in the running copy when another start asks it to come to the front.
    void on_raise_request(std::function<void()> raise) { raise_ = std::move(raise); }

    static QString default_dir();

  private:
    QString dir_;
    int lock_fd_ = -1;
    QLocalServer* server_ = nullptr;
    std::function<void()> raise_;
};

}  // namespace quorvel
