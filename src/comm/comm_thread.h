#pragma once
// The communication thread: every serial read and queued write, reply assembly, time-outs,
// the pump initialisation, the activity code, the status line, and through the hooks the
// method runner, one pass at a time. comm_thread_pass: communication thread only (or a test
// driving passes). CommThread: start/stop from the window thread.

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "common/settings.h"
#include "common/unique_fd.h"

namespace quorvel {

struct CommState;
class PassHooks;
class SerialPort;

// What the sleep before a pass saw of the ports (pump, valve): for the port it watched,
// whether input showed. A port it did not watch, or one put in place since, is looked at anew.
struct PortSighting {
    std::array<const SerialPort*, 2> port{};
    std::array<bool, 2> readable{true, true};
};

// One pass; now_ms is a millisecond tick that is never 0. `seen`: what the sleep before it
// saw, if it slept.
void comm_thread_pass(CommState& c, PassHooks& hooks, std::uint32_t now_ms,
                      const PortSighting* seen = nullptr);

// "Pump:100    Gearbox:KR-TVN1    uL/Rev:100.000    Backlash(uL):disabled"
std::string build_status_line(const PumpSettings& s, bool backlash_enabled, double backlash_ul);

// A millisecond tick from the steady clock, never 0 (0 marks "no pass yet").
std::uint32_t steady_tick_ms();

// Most bytes taken from one port in one pass. A real port at 9600 baud delivers fewer
// than 50 in a pass; the cap only keeps a flooding device from holding the thread.
inline constexpr std::size_t kMaxBytesPerPass = 4096;

class CommThread {
  public:
    CommThread(CommState& comm, PassHooks& hooks, int sleep_ms = 50);
    ~CommThread();
    CommThread(const CommThread&) = delete;
    CommThread& operator=(const CommThread&) = delete;

    void start();
    // Asks the loop to end after its current pass and waits for it. The caller must make
    // sure the pass cannot be waiting on the caller's own thread (the notifier stops
    // waiting for windows first). Idempotent.
    void stop();
    bool running() const;

  private:
    void run();
    // Sleeps between two passes, watching the quiet ports meanwhile; stop() cuts the sleep
    // short.
    PortSighting sleep_between_passes();

    CommState& comm_;
    PassHooks& hooks_;
    const int sleep_ms_;
    std::thread thread_;
    mutable std::mutex mutex_;  // start() and stop() against each other
    std::atomic<bool> stop_requested_{false};
    // An eventfd that stop() writes. The sleep watches it with the quiet ports in one call,
    // so an idle thread costs that call between passes and reads nothing in them.
    UniqueFd wake_;
};

}  // namespace quorvel
