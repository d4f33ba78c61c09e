#pragma once
// A notifier that records every call, with windows opened and closed by the test.

#include <algorithm>
#include <array>
#include <mutex>
#include <string>
#include <vector>

#include "comm/notifier.h"

namespace quorvel::testing {

struct Call {
    enum Kind { Post, Send, Command, Message } kind;
    WindowId window;
    int code = 0;
    int param = 0;
    std::string text{};
    std::string caption{};
    bool operator==(const Call&) const = default;
};

class RecordingNotifier : public Notifier {
  public:
    void open(WindowId w, bool is_open = true) {
        std::lock_guard lock(mutex_);
        open_[static_cast<int>(w)] = is_open;
    }
    bool is_open(WindowId w) const override {
        std::lock_guard lock(mutex_);
        return open_[static_cast<int>(w)];
    }
    void post(WindowId w, int code, int param) override { record({Call::Post, w, code, param}); }
    void send(WindowId w, int code, int param) override { record({Call::Send, w, code, param}); }
    void post_command(WindowId w, int command) override { record({Call::Command, w, command}); }
    void show_message(WindowId owner, const std::string& text,
                      const std::string& caption) override {
        record({Call::Message, owner, 0, 0, text, caption});
    }

    std::vector<Call> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        calls_.clear();
    }
    // Calls of one kind to one window with one code.
    int count(Call::Kind kind, WindowId w, int code) const {
        std::lock_guard lock(mutex_);
        return static_cast<int>(std::count_if(calls_.begin(), calls_.end(), [&](const Call& c) {
            return c.kind == kind && c.window == w && c.code == code;
        }));
    }
    std::vector<std::string> messages() const {
        std::lock_guard lock(mutex_);
        std::vector<std::string> out;
        for (const Call& c : calls_) {
            if (c.kind == Call::Message) out.push_back(c.text);
        }
        return out;
    }

  private:
    void record(Call c) {
        std::lock_guard lock(mutex_);
        calls_.push_back(std::move(c));
    }

    mutable std::mutex mutex_;
    std::array<bool, kWindowCount> open_{};
    std::vector<Call> calls_;
};

}  // namespace quorvel::testing
