#pragma once
// A notifier that records every call, with windows opened and closed by the test.

#include <algorithm>
#include <array>
#include <mutex>
#include <string>
#include <vector>

#include "ui/window_ids.h"

namespace quorvel::testing {

// A notification's or a device's number, as the recorder keeps it.
inline constexpr int code(Note n) {
    return static_cast<int>(n);
}
inline constexpr int code(DeviceRole r) {
    return static_cast<int>(r);
}

// code: the notification (code(Note)) or the command identifier.
struct Call {
    enum Kind { Post, Send, Command, Message, Shutdown } kind;
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
    void post(WindowId w, Note n, int param) override { record({Call::Post, w, code(n), param}); }
    void send(WindowId w, Note n, int param) override { record({Call::Send, w, code(n), param}); }
    void post_command(WindowId w, int command) override { record({Call::Command, w, command}); }
    void post_message(WindowId owner, const std::string& text,
                      const std::string& caption) override {
        record({Call::Message, owner, 0, 0, text, caption});
    }
    void shutdown() override { record({Call::Shutdown, WindowId::Main}); }

    std::vector<Call> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        calls_.clear();
    }
    int count(Call::Kind kind, WindowId w, Note n) const { return count(kind, w, code(n)); }
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
