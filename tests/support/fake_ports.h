#pragma once
// In-memory COM1..COM4 for session tests: every port writes into one shared timeline, so
// a test sees the order in which bytes, closes and other events happened across ports.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "comm/serial_port.h"

namespace quorvel::testing {

class Timeline {
  public:
    void add(std::string event) {
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(event));
        added_.notify_all();
    }
    // Waits until the events satisfy `done` (at most 10 s); false when they never did.
    bool wait_until(const std::function<bool(const std::vector<std::string>&)>& done) {
        std::unique_lock lock(mutex_);
        return added_.wait_for(lock, std::chrono::seconds(10), [&] { return done(events_); });
    }
    bool wait_for(const std::string& event) {
        return wait_until([&](const std::vector<std::string>& events) {
            return std::find(events.begin(), events.end(), event) != events.end();
        });
    }
    std::vector<std::string> events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        events_.clear();
    }

  private:
    mutable std::mutex mutex_;
    std::condition_variable added_;
    std::vector<std::string> events_;
};

// Writes are logged as "COMn <bytes>" with CR shown as \r and ESC as \e.
class FakePort final : public SerialPort {
  public:
    FakePort(int index, Timeline& t) : name_("COM" + std::to_string(index)), timeline_(t) {}

    bool read_byte(unsigned char& out) override {
        std::lock_guard lock(mutex_);
        if (closed_ || lost_ || incoming_.empty()) return false;
        out = static_cast<unsigned char>(incoming_.front());
        incoming_.erase(incoming_.begin());
        return true;
    }
    void write(std::string_view bytes) override {
        {
            std::lock_guard lock(mutex_);
            if (closed_ || lost_) return;
        }
        std::string shown;
        for (const char c : bytes) {
            shown += c == '\r'     ? std::string("\\r")
                     : c == '\x1b' ? std::string("\\e")
                                   : std::string(1, c);
        }
        timeline_.add(name_ + " " + shown);
    }
    bool lost() const override {
        std::lock_guard lock(mutex_);
        return lost_;
    }
    void close() override {
        // Logged under the port's lock, so whoever sees closed() also sees the event.
        std::lock_guard lock(mutex_);
        if (closed_) return;
        closed_ = true;
        timeline_.add(name_ + " closed");
    }

    void feed(std::string_view bytes) {
        std::lock_guard lock(mutex_);
        incoming_.append(bytes);
    }
    void go_away() {
        std::lock_guard lock(mutex_);
        lost_ = true;
    }
    bool closed() const {
        std::lock_guard lock(mutex_);
        return closed_;
    }

  private:
    const std::string name_;
    Timeline& timeline_;
    mutable std::mutex mutex_;
    std::string incoming_;
    bool lost_ = false;
    bool closed_ = false;
};

// Opens FakePorts, except for the indices told to fail.
class FakePortProvider final : public PortProvider {
  public:
    explicit FakePortProvider(Timeline& t) : timeline_(t) {}

    std::unique_ptr<SerialPort> open(int index, std::string* reason) override {
        std::lock_guard lock(mutex_);
        if (failing_.count(index) || index < 1 || index > 4) {
            timeline_.add("COM" + std::to_string(index) + " refused");
            if (reason) *reason = failing_.count(index) ? failing_[index] : "no such port";
            return nullptr;
        }
        timeline_.add("COM" + std::to_string(index) + " opened");
        auto port = std::make_unique<FakePort>(index, timeline_);
        last_[index] = port.get();
        return port;
    }
    std::string device_name(int index) const override {
        return "/dev/fake" + std::to_string(index);
    }

    void fail(int index, std::string reason) {
        std::lock_guard lock(mutex_);
        failing_[index] = std::move(reason);
    }
    void heal(int index) {
        std::lock_guard lock(mutex_);
        failing_.erase(index);
    }
    // The port last opened for index (owned by whoever holds it).
    FakePort* last(int index) {
        std::lock_guard lock(mutex_);
        return last_.count(index) ? last_[index] : nullptr;
    }

  private:
    Timeline& timeline_;
    std::mutex mutex_;
    std::map<int, std::string> failing_;
    std::map<int, FakePort*> last_;
};

}  // namespace quorvel::testing
