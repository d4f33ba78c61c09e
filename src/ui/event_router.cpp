#include "event_router.h"

#include "ui/notification_bridge.h"
#include "ui/window_registry.h"

namespace quorvel {

void EventRouter::terminal_line(std::string_view) {
    if (windows_.is_open(WindowId::Terminal)) bridge_.post(WindowId::Terminal, Note::TerminalLines);
}

void EventRouter::reply_timed_out(DeviceRole role) {
    bridge_.post(WindowId::Main, Note::CommTimeout, static_cast<int>(role));
}

void EventRouter::backlash_read() {
    if (windows_.is_open(WindowId::Setup)) bridge_.post(WindowId::Setup, Note::BacklashRead);
}

void EventRouter::initialisation_advanced() {
    if (windows_.is_open(WindowId::Init)) bridge_.send(WindowId::Init, Note::InitAdvance);
}

void EventRouter::initialisation_finished() {
    if (windows_.is_open(WindowId::Init)) bridge_.post_command(WindowId::Init, cmd::Close);
}

void EventRouter::pass_done() {
    for (const WindowId w : {WindowId::Method, WindowId::Test, WindowId::Status}) {
        if (windows_.is_open(w)) {
            bridge_.post_pass_done();
            return;
        }
    }
}

void EventRouter::status_line_changed() {
    for (const WindowId w : {WindowId::Test, WindowId::Method}) {
        if (windows_.is_open(w)) bridge_.post(w, Note::StatusLine);
    }
}

void EventRouter::message(const std::string& text, const std::string& caption) {
    bridge_.post_message(WindowId::Main, text, caption);
}

void EventRouter::run_mode_changed(MethodRunMode) {
    if (windows_.is_open(WindowId::Method)) bridge_.post(WindowId::Method, Note::MethodMode);
}

void EventRouter::running_row_changed(int row) {
    bridge_.post(WindowId::Method, Note::MethodSelect, row);
}

void EventRouter::run_failed(const RunFailure& f) {
    // A move that never ends is told as a time-out is; the rest in words.
    if (f.kind == RunFailureKind::NoEnd)
        bridge_.post(WindowId::Main, Note::RunTimeout, static_cast<int>(f.device));
    else
        bridge_.post_message(WindowId::Main, run_failure_text(f), "Error");
}

void EventRouter::initialisation_requested() {
    bridge_.post(WindowId::Main, Note::StartInit);
}

void EventRouter::shutting_down() {
    bridge_.shutdown();
}

}  // namespace quorvel
