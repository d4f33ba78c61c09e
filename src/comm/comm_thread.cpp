#include "comm_thread.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <utility>

#include "comm/comm_state.h"
#include "comm/pass_hooks.h"
#include "comm/pump_commands.h"
#include "comm/pump_init.h"
#include "common/numeric_text.h"

namespace quorvel {
namespace {

constexpr int kStatusRebuildAfter = 20;  // rebuilt when the count taken exceeds this

// Whether each device may have sent something since the last pass. A port that shows its
// input on a descriptor is read only when that says so: an idle pass then reads nothing. What
// the sleep before the pass saw of a port serves for it; the others are looked at with one
// poll over both.
struct Input {
    bool pump = true;
    bool valve = true;
};

// The port in place when it shows its input on a descriptor and holds none of its own, so
// that a look at the descriptor tells whether it needs a read; null otherwise. With the
// link's port_mutex held.
const SerialPort* watchable_port(const DeviceLink& link) {
    const SerialPort* port = link.port.get();
    return port && !port->input_pending() && port->input_fd() >= 0 ? port : nullptr;
}

Input look_for_input(CommState& c, const PortSighting* seen) {
    std::scoped_lock lock(c.pump.port_mutex, c.valve.port_mutex);
    Input in;
    pollfd fds[2];
    bool* readable[2];
    nfds_t n = 0;
    std::size_t i = 0;
    for (auto [link, flag] : {std::pair{&c.pump, &in.pump}, std::pair{&c.valve, &in.valve}}) {
        const SerialPort* port = watchable_port(*link);
        const std::size_t role = i++;
        if (!port) continue;
        if (seen && seen->port[role] == port) {
            *flag = seen->readable[role];
            continue;
        }
        fds[n] = {port->input_fd(), POLLIN, 0};
        readable[n++] = flag;
    }
    if (n == 0) return in;
    int r;
    do {
        r = ::poll(fds, n, 0);
    } while (r < 0 && errno == EINTR);
    if (r < 0) return in;  // a failed look: read them all, as before
    for (nfds_t i = 0; i < n; ++i) *readable[i] = fds[i].revents != 0;
    return in;
}

std::string read_waiting(DeviceLink& link, bool readable) {
    std::string bytes;
    std::lock_guard lock(link.port_mutex);
    if (!link.port || !readable) return bytes;
    unsigned char b = 0;
    while (bytes.size() < kMaxBytesPerPass && link.port->read_byte(b))
        bytes.push_back(static_cast<char>(b));
    release_if_lost(link);
    return bytes;
}

void store_byte(DeviceLink& link, char b) {
    // Characters past the limit are dropped: a line keeps its first 249 characters. A NUL
    // never gets in, whichever port delivered it: it would end the line for any reader
    // that takes it as C text.
    if (b != '\0' && link.rx_line.size() < kMaxLineLength) link.rx_line.push_back(b);
}

void complete_line(DeviceLink& link) {
    link.ready = true;
    link.last_line = std::move(link.rx_line);
    link.rx_line.clear();
}

void handle_pump_line(CommState& c) {
    const std::string& line = c.pump.last_line;
    const bool is_ble = line.rfind("ble=", 0) == 0;
    const bool is_blsh = !is_ble && line.rfind("blsh=", 0) == 0;
    if (is_ble) {
        const char v = line.size() > 4 ? line[4] : '\0';
        c.backlash_enabled.store(!(v == '0' || v == 'F'));
    } else if (is_blsh) {
        c.backlash_ul.store(c_atof(std::string_view(line).substr(5)));
    }
    if (is_ble || is_blsh) c.events().backlash_read();
    append_terminal_line(c, line);
}

void pump_receive(CommState& c, bool readable) {
    DeviceLink& link = c.pump;
    const std::string bytes = read_waiting(link, readable);
    for (const char b : bytes) {
        if (b == '\0') continue;  // no part of any line, whichever port handed it on
        // Motion reports of the monitor program; during initialisation the controller
        // echoes program text containing these characters.
        if (c.init_stage.load() == InitStage::None) {
            if (b == '|') c.pump_moving.store(false);
            if (b == '~') c.pump_moving.store(true);
        }
        if (b == '\r') {
            complete_line(link);
            link.awaiting_motion_reply = false;
            handle_pump_line(c);
        } else if ((b == '>' || b == '?') && link.rx_line.empty()) {
            link.ready = true;  // a prompt answers the command without a line
            // The controller's error prompt: a move it was asked for will not happen.
            if (b == '?' && link.awaiting_motion_reply) link.motion_refused.store(true);
            link.awaiting_motion_reply = false;
        } else if (b != '\n') {
            store_byte(link, b);
        }
    }
}

void valve_receive(CommState& c, bool readable) {
    DeviceLink& link = c.valve;
    const std::string bytes = read_waiting(link, readable);
    for (const char b : bytes) {
        if (b == '\0') continue;
        if (b == '\r') {
            complete_line(link);
            if (starts_with_nocase(link.last_line, "pos")) c.valve_busy.store(false);
        } else if (b != '\n') {
            store_byte(link, b);
        }
    }
}

// Sends the next queued line if the device is ready. Every pump line awaits a reply; of
// the valve's, only the "cp" position query does.
void transmit(DeviceLink& link, bool is_pump) {
    std::lock_guard lock(link.port_mutex);
    if (!link.port) return;
    // The rest of a line the device did not take goes first; nothing else meanwhile.
    const bool line_whole = link.port->flush();
    if (line_whole && link.ready) {
        if (std::optional<std::string> line = link.queue.pop()) {
            const bool awaits_reply = is_pump || starts_with_nocase(*line, "cp");
            if (is_pump) link.awaiting_motion_reply = is_motion_line(*line);
            line->push_back('\r');
            link.port->write(*line);
            if (awaits_reply) {
                link.ready = false;
                link.countdown_ms = link.reply_timeout_ms;
            }
        }
    }
    release_if_lost(link);
}

// A replaced port starts with a device that owes us nothing.
void restart_if_replaced(DeviceLink& link) {
    if (!link.restart_requested.exchange(false)) return;
    link.ready = true;
    link.countdown_ms = 0;
    link.awaiting_motion_reply = false;
    link.rx_line.clear();
}

// True when the device's reply time-out expired with no reply.
bool count_down(DeviceLink& link, long long elapsed_ms) {
    if (link.countdown_ms <= 0) return false;
    const long long left = link.countdown_ms - elapsed_ms;
    link.countdown_ms = static_cast<int>(std::max(0LL, left));
    if (link.countdown_ms > 0 || link.ready) return false;
    link.ready = true;
    return true;
}

PumpActivity compute_activity(const CommState& c, const PassHooks& hooks, bool method_followed) {
    const bool moving = c.pump_moving.load();
    const bool busy = c.valve_busy.load();
    PumpActivity a = PumpActivity::Ready;
    if (moving) {
        a = !c.move_dispensing.load() ? PumpActivity::Aspirate
            : c.move_washing.load()   ? PumpActivity::Wash
                                      : PumpActivity::Dispense;
    }
    if (method_followed) {
        if (busy) a = PumpActivity::Valve;
        if (hooks.method_waiting() && !moving && !busy) a = PumpActivity::Wait;
    }
    return a;
}

}  // namespace

std::string build_status_line(const PumpSettings& s, bool backlash_enabled, double backlash_ul) {
    const bool pump_ok = s.pump >= 0 && s.pump < kPumpSizeCount;
    const bool gear_ok = s.gearbox >= 0 && s.gearbox < kGearboxCount;
    std::string line = "Pump:";
    line += pump_ok ? std::string(PumpNames[s.pump]) : "none";
    line += "    Gearbox:";
    line += gear_ok ? std::string(GearboxNames[s.gearbox]) : "none";
    line += "    uL/Rev:";
    line += format_fixed(ul_per_rev_in_force(s), 3, 3);
    line += "    Backlash(uL):";
    line += backlash_enabled ? format_fixed(backlash_ul, 2, 3) : "disabled";
    return line;
}

void comm_thread_pass(CommState& c, PassHooks& hooks, std::uint32_t now_ms,
                      const PortSighting* seen) {
    hooks.pass_begins();
    restart_if_replaced(c.pump);
    restart_if_replaced(c.valve);
    const Input input = look_for_input(c, seen);
    pump_receive(c, input.pump);
    transmit(c.pump, true);
    valve_receive(c, input.valve);
    transmit(c.valve, false);
    initialisation_step(c, hooks);

    // The first pass has no previous tick and never times out.
    const bool first_pass = c.last_tick_ms == 0;
    const long long elapsed =
        first_pass ? 0
                   : static_cast<long long>(static_cast<std::uint32_t>(now_ms - c.last_tick_ms));
    if (!first_pass) {
        if (count_down(c.pump, elapsed)) {
            c.pump.reply_timeouts.fetch_add(1);
            c.pump_moving.store(false);
            c.events().reply_timed_out(DeviceRole::Pump);
        }
        if (count_down(c.valve, elapsed)) {
            c.valve.reply_timeouts.fetch_add(1);
            c.valve_busy.store(false);
            c.events().reply_timed_out(DeviceRole::Valve);
        }
        hooks.count_down_method_wait(static_cast<int>(std::min<long long>(elapsed, INT_MAX)));
    }

    const bool followed = hooks.method_followed();
    c.activity.store(compute_activity(c, hooks, followed));
    c.last_tick_ms = now_ms;

    if (followed) hooks.method_step();
    c.events().pass_done();
    hooks.pass_ends();

    const int taken = c.status_pass_count++;
    if (taken > kStatusRebuildAfter) {
        c.status_pass_count = 0;
        c.publish_status_line(
            build_status_line(hooks.settings(), c.backlash_enabled.load(), c.backlash_ul.load()));
        c.events().status_line_changed();
    }
}

std::uint32_t steady_tick_ms() {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now().time_since_epoch())
                        .count();
    const auto tick = static_cast<std::uint32_t>(ms);
    return tick == 0 ? 1 : tick;
}

CommThread::CommThread(CommState& comm, PassHooks& hooks, int sleep_ms)
    : comm_(comm),
      hooks_(hooks),
      sleep_ms_(sleep_ms),
      wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

CommThread::~CommThread() {
    stop();
}

void CommThread::start() {
    std::lock_guard lock(mutex_);
    if (thread_.joinable()) return;
    std::uint64_t pending = 0;  // a wake-up left by an earlier stop()
    [[maybe_unused]] const ssize_t n = ::read(wake_.get(), &pending, sizeof pending);
    stop_requested_.store(false);
    thread_ = std::thread([this] { run(); });
}

void CommThread::stop() {
    {
        std::lock_guard lock(mutex_);
        stop_requested_.store(true);
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wake_.get(), &one, sizeof one);
    }
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

bool CommThread::running() const {
    std::lock_guard lock(mutex_);
    return thread_.joinable() && !stop_requested_.load();
}

void CommThread::run() {
    // The default 50 us timer slack on each of a pass's waits would add up to a visible
    // drift of the 50 ms period; this thread's timing is what the devices see.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    PortSighting seen;
    const PortSighting* last_sleep = nullptr;  // the first pass has slept before no pass
    while (!stop_requested_.load()) {
        comm_thread_pass(comm_, hooks_, steady_tick_ms(), last_sleep);
        if (stop_requested_.load()) break;
        seen = sleep_between_passes();
        last_sleep = &seen;
    }
}

PortSighting CommThread::sleep_between_passes() {
    // Slot 0: stop() (without an eventfd the sleep is not cut short, and a stop waits for its
    // end); slots 1 and 2: the ports, each watched until it shows input.
    pollfd fds[3] = {{wake_.get(), POLLIN, 0}, {-1, POLLIN, 0}, {-1, POLLIN, 0}};
    PortSighting seen;
    {
        std::scoped_lock lock(comm_.pump.port_mutex, comm_.valve.port_mutex);
        std::size_t role = 0;
        for (const DeviceLink* link : {&comm_.pump, &comm_.valve}) {
            if (const SerialPort* port = watchable_port(*link)) {
                seen.port[role] = port;
                seen.readable[role] = false;
                fds[role + 1].fd = port->input_fd();
            }
            ++role;
        }
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(sleep_ms_);
    for (;;) {
        const auto left = end - std::chrono::steady_clock::now();
        if (left <= std::chrono::nanoseconds::zero()) break;
        const auto s = std::chrono::duration_cast<std::chrono::seconds>(left);
        const timespec timeout{static_cast<time_t>(s.count()),
                               static_cast<long>((left - s) / std::chrono::nanoseconds(1))};
        const int r = ::ppoll(fds, 3, &timeout, nullptr);
        if (r == 0 || (r > 0 && fds[0].revents != 0)) break;
        if (r < 0) {
            if (errno == EINTR) continue;
            // No look at the ports to rely on: the pass looks again, the rest is slept out.
            seen = PortSighting{};
            fds[1].fd = fds[2].fd = -1;
            continue;
        }
        // Input on its way: the pass reads it, however long the sleep still lasts.
        for (std::size_t role = 0; role < 2; ++role) {
            if (fds[role + 1].revents == 0) continue;
            seen.readable[role] = true;
            fds[role + 1].fd = -1;
        }
    }
    return seen;
}

}  // namespace quorvel
