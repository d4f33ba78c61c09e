// Both devices through whole passes: what each one sends (NUL bytes included, handed on by
// the port so that the thread's own filtering is what counts), when passes run and how
// much time lies between them, commands queued, motion flags, stalled and vanished
// devices, all chosen by the input. After every pass each link's reply state must agree
// with a small model of the reply rules, and every line must be short and free of NUL.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "comm/comm_thread.h"
#include "comm/memory_port.h"
#include "common/numeric_text.h"
#include "session/system.h"
#include "session/system_pass.h"
#include "fuzz_input.h"

namespace {

using quorvel::fuzzing::Input;

using namespace quorvel;

constexpr std::size_t kUnlimited = std::numeric_limits<std::size_t>::max();

class TimeoutCounter final : public SessionListener {
  public:
    void reply_timed_out(DeviceRole role) override {
        if (role != DeviceRole::Pump && role != DeviceRole::Valve) std::abort();
        ++(role == DeviceRole::Pump ? pump : valve);
    }
    int pump = 0;
    int valve = 0;
};

// What one device's link should look like, by the reply rules alone.
struct ModelLink {
    bool ready = true;
    int countdown_ms = 0;
    std::string rx_line;
    std::string last_line;
    std::deque<char> unread;  // sent by the device, not yet taken by a pass
    std::size_t intake = kUnlimited;
    bool gone = false;
    MemoryPort* port = nullptr;
};

struct Model {
    ModelLink pump;
    ModelLink valve;
    std::deque<std::string> valve_queue;  // the valve queue is filled only here
    bool pump_moving = false;
    bool valve_busy = false;
    bool first_pass = true;
};

void check_line(const std::string& line) {
    if (line.size() > kMaxLineLength || line.find('\0') != std::string::npos) std::abort();
}

// The bytes one pass takes from a device, as the thread reads them.
std::string take(ModelLink& m) {
    std::string bytes;
    while (!m.gone && !m.unread.empty() && bytes.size() < kMaxBytesPerPass) {
        bytes.push_back(m.unread.front());
        m.unread.pop_front();
    }
    return bytes;
}

void model_store(ModelLink& m, char b) {
    if (m.rx_line.size() < kMaxLineLength) m.rx_line.push_back(b);
}

void model_line_end(ModelLink& m) {
    m.ready = true;
    m.last_line = m.rx_line;
    m.rx_line.clear();
}

// Whether the line the port may still hold goes out whole in this pass's flush().
bool whole_after_flush(const ModelLink& m) {
    return m.gone || m.port->waiting_output().size() <= m.intake;
}

// True when the countdown expired unanswered.
bool model_count_down(ModelLink& m, long long elapsed) {
    if (m.countdown_ms <= 0) return false;
    m.countdown_ms = static_cast<int>(std::max(0LL, m.countdown_ms - elapsed));
    if (m.countdown_ms > 0 || m.ready) return false;
    m.ready = true;
    return true;
}

void compare(const ModelLink& m, const DeviceLink& l) {
    if (l.ready != m.ready || l.countdown_ms != m.countdown_ms) std::abort();
    // Not ready means a reply is awaited, and a reply is never awaited for ever.
    if (!l.ready && l.countdown_ms <= 0) std::abort();
    if (l.rx_line != m.rx_line || l.last_line != m.last_line) std::abort();
    check_line(l.rx_line);
    check_line(l.last_line);
}

void run_pass(System& sys, Model& m, TimeoutCounter& timeouts, std::uint32_t now,
              std::uint32_t elapsed) {
    CommState& c = sys.comm;
    const bool pump_has_lines = !c.pump.queue.empty();
    const int pump_read_before = c.pump.queue.read_index();
    const int valve_read_before = c.valve.queue.read_index();
    const bool pump_whole = whole_after_flush(m.pump);
    const bool valve_whole = whole_after_flush(m.valve);
    const bool init_running = c.init_stage.load() != InitStage::None;
    timeouts.pump = timeouts.valve = 0;

    SystemPass(sys).run(now);

    for (const char b : take(m.pump)) {
        if (b == '\0') continue;
        if (!init_running && b == '|') m.pump_moving = false;
        if (!init_running && b == '~') m.pump_moving = true;
        if (b == '\r') {
            model_line_end(m.pump);
        } else if ((b == '>' || b == '?') && m.pump.rx_line.empty()) {
            m.pump.ready = true;
        } else if (b != '\n') {
            model_store(m.pump, b);
        }
    }
    const bool pump_sent = pump_has_lines && m.pump.ready && pump_whole;
    if (pump_sent) {
        m.pump.ready = false;
        m.pump.countdown_ms = CommState::kPumpReplyTimeoutMs;
    }
    for (const char b : take(m.valve)) {
        if (b == '\0') continue;
        if (b == '\r') {
            model_line_end(m.valve);
            if (starts_with_nocase(m.valve.last_line, "pos")) m.valve_busy = false;
        } else if (b != '\n') {
            model_store(m.valve, b);
        }
    }
    const bool valve_sent = !m.valve_queue.empty() && m.valve.ready && valve_whole;
    if (valve_sent) {
        if (starts_with_nocase(m.valve_queue.front(), "cp")) {
            m.valve.ready = false;
            m.valve.countdown_ms = CommState::kValveReplyTimeoutMs;
        }
        m.valve_queue.pop_front();
    }
    int pump_timeouts = 0;
    int valve_timeouts = 0;
    if (!m.first_pass) {
        if (model_count_down(m.pump, elapsed)) {
            m.pump_moving = false;
            ++pump_timeouts;
        }
        if (model_count_down(m.valve, elapsed)) {
            m.valve_busy = false;
            ++valve_timeouts;
        }
    }
    m.first_pass = false;

    if (pump_sent != (c.pump.queue.read_index() != pump_read_before)) std::abort();
    if (valve_sent != (c.valve.queue.read_index() != valve_read_before)) std::abort();
    if (timeouts.pump != pump_timeouts || timeouts.valve != valve_timeouts) std::abort();
    compare(m.pump, c.pump);
    compare(m.valve, c.valve);
    if (c.pump_moving.load() != m.pump_moving || c.valve_busy.load() != m.valve_busy) std::abort();
    for (const std::string& line : c.terminal_log.take_waiting()) check_line(line);
}

void feed(ModelLink& m, std::string_view bytes) {
    if (m.gone) return;
    m.port->feed(bytes);
    m.unread.insert(m.unread.end(), bytes.begin(), bytes.end());
}

constexpr std::string_view kPumpCommands[] = {"VM=1.00000000", "SSTP", "print \"ble=\",ble", "",
                                              "MOVR=-5.00000000"};
constexpr std::string_view kValveCommands[] = {"cp", "CP", "go3", "cw12", "goA", "cpx", "c", "Cp"};
constexpr std::string_view kReplies[] = {">", "?",       "ble=0\r", "blsh=2.5\r", "~",
                                         "|", "pos=3\r", "\r\n",    "err\r"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    TimeoutCounter timeouts;
    System sys(timeouts);
    Model m;
    using Pair = std::pair<DeviceLink*, ModelLink*>;
    for (auto [link, model] : {Pair{&sys.comm.pump, &m.pump}, Pair{&sys.comm.valve, &m.valve}}) {
        auto port = std::make_unique<MemoryPort>();
        port->pass_nul_bytes(true);
        model->port = port.get();
        replace_port(*link, std::move(port));
    }

    Input in(data, size);
    std::uint32_t now = 1000;
    std::uint32_t elapsed = 0;
    while (!in.done()) {
        const std::uint8_t op = in.byte();
        ModelLink& dev = (op & 0x80) ? m.valve : m.pump;
        switch (op % 10) {
            case 0:
            case 1:
                feed(dev, in.bytes(in.byte() % 64));
                break;
            case 2: {
                run_pass(sys, m, timeouts, now, elapsed);
                const std::uint32_t hi = in.byte() % 32;
                elapsed = hi * 256 + in.byte();
                now += elapsed;
                break;
            }
            case 3:
                enqueue_command(sys.comm, kPumpCommands[in.byte() % std::size(kPumpCommands)],
                                sys.comm.pump);
                break;
            case 4:
                // Past 98 the ring would wrap onto itself; that rule has tests of its own.
                if (m.valve_queue.size() < 98) {
                    const std::string_view line =
                        kValveCommands[in.byte() % std::size(kValveCommands)];
                    enqueue_command(sys.comm, line, sys.comm.valve);
                    m.valve_queue.emplace_back(line);
                }
                break;
            case 5:
                if (op & 0x80) {
                    sys.comm.valve_busy = m.valve_busy = true;
                } else {
                    sys.comm.pump_moving = m.pump_moving = true;
                }
                break;
            case 6:
                sys.comm.init_stage = static_cast<InitStage>(in.byte() % 3);
                break;
            case 7: {
                const std::size_t intake = in.byte() % 8;
                dev.intake = intake == 7 ? kUnlimited : intake;
                dev.port->limit_intake(dev.intake);
                break;
            }
            case 8:
                // Rarely: the device goes away for good.
                if (in.byte() == 0x5a) {
                    dev.port->hang_up();
                    dev.gone = true;
                    dev.unread.clear();
                }
                break;
            default:
                feed(dev, kReplies[in.byte() % std::size(kReplies)]);
                break;
        }
    }
    run_pass(sys, m, timeouts, now, elapsed);
    return 0;
}
