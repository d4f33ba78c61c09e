#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <string_view>

#include "sim_device.h"
#include "sim_text.h"

namespace quorvel::sim {
namespace {

using detail::normalize;
using detail::parse_number;

constexpr unsigned char kEsc = 27;
constexpr const char* kAccepted = ">";
constexpr const char* kRefused = "?";
constexpr const char* kMotionStarted = "~\r\n";
constexpr const char* kMotionStopped = "|\r\n";
// Real seconds, whatever the time scale: a program reads every 50 ms.
constexpr double kHangUpNoSoonerS = 0.2;

// Lines of the start-up script that only need acknowledging, already normalized.
constexpr std::string_view kSetupLines[] = {"echo 1=0", "echo 2=0", "blm=1", "ios 21 = 18,1,0"};

struct Assignment {
    std::string key;
    std::optional<double> value;  // nullopt: not a number
};

std::optional<Assignment> split_assignment(const std::string& norm) {
    const auto eq = norm.find('=');
    if (eq == std::string::npos) return std::nullopt;
    std::string key = norm.substr(0, eq);
    while (!key.empty() && key.back() == ' ') key.pop_back();
    return Assignment{key, parse_number(std::string_view(norm).substr(eq + 1))};
}

// The motion monitor program is recognised by the two reports it prints.
bool is_monitor_program(const std::vector<std::string>& body) {
    bool prints_stop = false;
    bool prints_start = false;
    for (const auto& raw : body) {
        const std::string line = normalize(raw);
        prints_stop = prints_stop || line == "print \"|\"";
        prints_start = prints_start || line == "print \"~\"";
    }
    return prints_stop && prints_start;
}

}  // namespace

SimPump::SimPump(double time_scale) : PtyDevice(time_scale) {}

// The worker calls our overrides, so it must end before our members go.
SimPump::~SimPump() {
    stop();
}

double SimPump::backlash() const {
    std::lock_guard lock(state_mutex_);
    return blsh_;
}

double SimPump::velocity() const {
    std::lock_guard lock(state_mutex_);
    return velocity_;
}

double SimPump::munit() const {
    std::lock_guard lock(state_mutex_);
    return munit_;
}

double SimPump::msel() const {
    std::lock_guard lock(state_mutex_);
    return msel_;
}

void SimPump::set_backlash(bool enabled, double amount) {
    std::lock_guard lock(state_mutex_);
    ble_ = enabled;
    blsh_ = amount;
}

void SimPump::start_motion(double duration_s) {
    const bool was_moving = moving_.exchange(true);
    const bool endless = duration_s < 0 || faults().never_stops;
    motion_end_s_ = endless ? -1.0 : now_s() + duration_s;
    ++moves_started_;
    if (!was_moving && monitor_running_) outbox_.emplace_back(kMotionStarted);
    if (faults().hangs_up_mid_move && hang_up_at_s_ < 0) {
        // A hang-up drops what the program has not read yet, the start report too.
        const double half = endless ? 0.0 : duration_s / 2;
        hang_up_at_s_ = now_s() + std::max(half, kHangUpNoSoonerS);
    }
}

void SimPump::stop_motion() {
    const bool was_moving = moving_.exchange(false);
    motion_end_s_ = -1.0;
    if (was_moving && monitor_running_ && !faults().never_stops)
        outbox_.emplace_back(kMotionStopped);
}

void SimPump::flush_outbox() {
    std::vector<std::string> out;
    {
        std::lock_guard lock(state_mutex_);
        out.swap(outbox_);
    }
    for (const auto& text : out) answer(text);
}

bool SimPump::on_byte(unsigned char b) {
    if (b != kEsc) return false;
    // ESC aborts everything quietly: motion stops without a report and the monitor ends.
    std::lock_guard lock(state_mutex_);
    moving_ = false;
    motion_end_s_ = -1.0;
    monitor_running_ = false;
    return true;
}

void SimPump::on_time(double now_s) {
    bool hang_up_now = false;
    {
        std::lock_guard lock(state_mutex_);
        if (moving_ && motion_end_s_ >= 0 && now_s >= motion_end_s_) stop_motion();
        hang_up_now = hang_up_at_s_ >= 0 && now_s >= hang_up_at_s_;
    }
    flush_outbox();
    if (hang_up_now) hang_up();
}

double SimPump::next_event_s() const {
    std::lock_guard lock(state_mutex_);
    // Slewing (no end) and standing still both leave nothing to wake up for.
    double next = std::numeric_limits<double>::infinity();
    if (moving_ && motion_end_s_ >= 0) next = motion_end_s_;
    if (hang_up_at_s_ >= 0) next = std::min(next, hang_up_at_s_);
    return next;
}

void SimPump::enter_program_line(const std::string& raw, const std::string& norm) {
    program_body_.push_back(raw);
    if (norm == "pgm") {
        entering_program_ = false;
        program_loaded_ = is_monitor_program(program_body_);
    }
    outbox_.emplace_back(kAccepted);
}

void SimPump::on_line(const std::string& line) {
    const std::string norm = normalize(line);
    {
        std::lock_guard lock(state_mutex_);
        if (entering_program_) {
            enter_program_line(line, norm);
        } else if (!answer_command(line, norm)) {
            // The set-up lines hold '=' too, so assignments are only looked for after them.
            if (const auto a = split_assignment(norm); a && a->value) {
                assign(a->key, *a->value);
            } else {
                outbox_.emplace_back(kRefused);
            }
        }
    }
    flush_outbox();
}

bool SimPump::answer_command(const std::string& raw, const std::string& norm) {
    if (norm.empty()) {
        outbox_.emplace_back(kAccepted);
    } else if (norm == "sstp") {
        outbox_.emplace_back(kAccepted);
        stop_motion();
    } else if (norm == "save") {
        saved_ = true;
        outbox_.emplace_back(kAccepted);
    } else if (norm == "print \"ble=\",ble") {
        outbox_.push_back(std::string("ble=") + (ble_ ? "1" : "0") + "\r\n");
    } else if (norm == "print \"blsh=\",blsh") {
        outbox_.push_back("blsh=" + detail::format_g(blsh_) + "\r\n");
    } else if (norm == "pgm 200") {
        entering_program_ = true;
        program_loaded_ = false;
        program_body_.assign(1, raw);
        outbox_.emplace_back(kAccepted);
    } else if (norm == "run 200") {
        if (program_loaded_) monitor_running_ = true;
        outbox_.emplace_back(program_loaded_ ? kAccepted : kRefused);
    } else if (std::find(std::begin(kSetupLines), std::end(kSetupLines), norm) !=
               std::end(kSetupLines)) {
        outbox_.emplace_back(kAccepted);
    } else {
        return false;
    }
    return true;
}

void SimPump::assign(const std::string& key, double v) {
    if ((key == "movr" || key == "slew") && faults().refuses_motion) {
        outbox_.emplace_back(kRefused);
    } else if (key == "vm") {
        velocity_ = v;
        outbox_.emplace_back(kAccepted);
    } else if (key == "movr") {
        if (velocity_ <= 0) {
            outbox_.emplace_back(kRefused);
        } else {
            outbox_.emplace_back(kAccepted);
            start_motion(scaled(std::fabs(v) / velocity_));
        }
    } else if (key == "slew") {
        outbox_.emplace_back(kAccepted);
        if (v == 0) {
            stop_motion();
        } else {
            start_motion(-1.0);
        }
    } else if (key == "msel") {
        msel_ = v;
        outbox_.emplace_back(kAccepted);
    } else if (key == "munit") {
        munit_ = v;
        outbox_.emplace_back(kAccepted);
    } else if (key == "ble") {
        ble_ = v != 0;
        outbox_.emplace_back(kAccepted);
    } else if (key == "blsh") {
        blsh_ = v;
        outbox_.emplace_back(kAccepted);
    } else if (key == "pos") {
        outbox_.emplace_back(kAccepted);
    } else {
        outbox_.emplace_back(kRefused);
    }
}

}  // namespace quorvel::sim
