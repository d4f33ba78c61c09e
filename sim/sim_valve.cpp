#include <limits>
#include <optional>
#include <string_view>

#include "sim_device.h"
#include "sim_text.h"

namespace quorvel::sim {
namespace {

constexpr double kMoveSeconds = 0.5;
constexpr int kMaxPosition = 99;

// The position a move command asks for: go/cw/cc followed by 1..99, or goA/goB.
std::optional<int> move_target(std::string_view norm) {
    if (norm == "goa") return 1;
    if (norm == "gob") return 2;
    if (norm.size() < 3) return std::nullopt;
    const std::string_view verb = norm.substr(0, 2);
    if (verb != "go" && verb != "cw" && verb != "cc") return std::nullopt;
    const std::string_view digits = norm.substr(2);
    if (digits.empty() || digits.size() > 3) return std::nullopt;  // "099" is still 99
    int n = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        n = n * 10 + (c - '0');
    }
    if (n < 1 || n > kMaxPosition) return std::nullopt;
    return n;
}

std::string position_reply(int position) {
    return "pos=" + std::to_string(position) + "\r\n";
}

}  // namespace

SimValve::SimValve(double time_scale) : PtyDevice(time_scale) {}

// The worker calls our overrides, so it must end before our members go.
SimValve::~SimValve() {
    stop();
}

void SimValve::on_line(const std::string& line) {
    const std::string norm = detail::normalize(line);
    if (norm.empty()) return;
    if (norm == "cp") {
        // The actuator does not answer while its motor runs; the reply comes at the end.
        if (moving_) {
            ++pending_cp_;
        } else {
            answer(position_reply(position_));
        }
        return;
    }
    if (const auto target = move_target(norm)) {
        target_ = *target;
        move_end_s_ = now_s() + scaled(kMoveSeconds);
        moving_ = true;
        ++moves_started_;
        return;
    }
    answer("err\r\n");
}

double SimValve::next_event_s() const {
    return moving_ ? move_end_s_ : std::numeric_limits<double>::infinity();
}

void SimValve::on_time(double now_s) {
    if (!moving_ || now_s < move_end_s_) return;
    position_ = target_;
    moving_ = false;
    const std::string reply = position_reply(target_);
    for (; pending_cp_ > 0; --pending_cp_) answer(reply);
}

}  // namespace quorvel::sim
