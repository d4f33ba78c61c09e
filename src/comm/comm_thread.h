#pragma once
// The communication thread: every serial read and queued write, reply assembly, time-outs,
// the pump initialisation, the activity code, the status line, and through the hooks the
// method runner, one pass at a time. comm_thread_pass: communication thread only (or a test
// driving passes). CommThread: start/stop from the window thread.

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

// One pass; now_ms is a millisecond tick that is never 0.
void comm_thread_pass(CommState& c, PassHooks& hooks, std::uint32_t now_ms);

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
    // Sleeps between two passes; stop() cuts the sleep short.
    void sleep_between_passes();

    CommState& comm_;
    PassHooks& hooks_;
    const int sleep_ms_;
    std::thread thread_;
    mutable std::mutex mutex_;  // start() and stop() against each other
    std::atomic<bool> stop_requested_{false};
    // An eventfd the sleep watches: an idle thread then costs one system call between
    // passes, where a condition variable's timed wait costs two.
    UniqueFd wake_;
};

}  // namespace quorvel
