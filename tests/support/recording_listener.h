#pragma once
// A session listener that records every event it hears, in order.

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "method/method_run.h"
#include "session/session_listener.h"

namespace quorvel::testing {

struct Heard {
    enum Kind {
        TerminalLine,
        Timeout,  // value: the DeviceRole
        BacklashRead,
        InitAdvanced,
        InitFinished,
        PassDone,
        StatusLine,
        Message,      // text and caption
        ModeChanged,  // value: the MethodRunMode
        RowChanged,   // value: the row
        InitRequested,
        ShuttingDown,
        RunFailed,  // value: the RunFailureKind; text: the message the window shows
    } kind;
    int value = 0;
    std::string text{};
    std::string caption{};
    bool operator==(const Heard&) const = default;
};

inline int code(DeviceRole r) {
    return static_cast<int>(r);
}

class RecordingListener : public SessionListener {
  public:
    void terminal_line(std::string_view line) override {
        record({Heard::TerminalLine, 0, std::string(line)});
    }
    void reply_timed_out(DeviceRole r) override { record({Heard::Timeout, code(r)}); }
    void backlash_read() override { record({Heard::BacklashRead}); }
    void initialisation_advanced() override { record({Heard::InitAdvanced}); }
    void initialisation_finished() override { record({Heard::InitFinished}); }
    void pass_done() override { record({Heard::PassDone}); }
    void status_line_changed() override { record({Heard::StatusLine}); }
    void message(const std::string& text, const std::string& caption) override {
        record({Heard::Message, 0, text, caption});
    }
    void run_mode_changed(MethodRunMode m) override {
        record({Heard::ModeChanged, static_cast<int>(m)});
    }
    void running_row_changed(int row) override { record({Heard::RowChanged, row}); }
    void initialisation_requested() override { record({Heard::InitRequested}); }
    void shutting_down() override { record({Heard::ShuttingDown}); }
    void run_failed(const RunFailure& f) override {
        record({Heard::RunFailed, static_cast<int>(f.kind), run_failure_text(f)});
    }

    std::vector<Heard> heard() const {
        std::lock_guard lock(mutex_);
        return heard_;
    }
    // Everything heard but the end of every pass.
    std::vector<Heard> heard_besides_passes() const {
        std::vector<Heard> out = heard();
        std::erase_if(out, [](const Heard& h) { return h.kind == Heard::PassDone; });
        return out;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        heard_.clear();
    }
    int count(Heard::Kind kind) const {
        std::lock_guard lock(mutex_);
        return static_cast<int>(std::count_if(heard_.begin(), heard_.end(),
                                              [&](const Heard& h) { return h.kind == kind; }));
    }
    // The values of every event of one kind, in order.
    std::vector<int> values(Heard::Kind kind) const {
        std::vector<int> out;
        for (const Heard& h : heard())
            if (h.kind == kind) out.push_back(h.value);
        return out;
    }
    std::vector<std::string> messages() const {
        std::vector<std::string> out;
        for (const Heard& h : heard())
            if (h.kind == Heard::Message) out.push_back(h.text);
        return out;
    }

  protected:
    virtual void record(Heard h) {
        std::lock_guard lock(mutex_);
        heard_.push_back(std::move(h));
    }

  private:
    mutable std::mutex mutex_;
    std::vector<Heard> heard_;
};

}  // namespace quorvel::testing
