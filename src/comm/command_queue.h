#pragma once
// Per-device outgoing command ring and the link record of one device.
// enqueue_command and write_raw_byte: any thread. The rx_* fields, ready and countdown_ms:
// communication thread only.

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "comm/serial_port.h"

namespace quorvel {

struct CommState;

// A ring of 100 command lines (without their CR). At most 99 can be pending: the 100th
// makes the ring wrap onto itself, which reads as empty, and is reported as fatal.
class CommandQueue {
  public:
    static constexpr int kSlots = 100;
    // Room for the CR and the terminator of the original 253-byte slots.
    static constexpr std::size_t kMaxText = 251;

    // Copy, advance and overflow check as one step. True when the ring overflowed.
    bool push(std::string_view text);
    // Takes the next pending line, advancing read_index in the same step, so that a reset
    // from another thread can never be undone by a late advance.
    std::optional<std::string> pop();
    // Takes every pending line that `drop` accepts out of the ring, keeping the order of the
    // rest, as one step for the communication thread. Returns how many went.
    int drop_if(const std::function<bool(std::string_view)>& drop);
    // Empties the ring: both indices 0.
    void reset();
    // Empties the ring for good: from now on every line pushed is dropped.
    void close();

    bool empty() const;
    int pending() const;
    int write_index() const;
    int read_index() const;

  private:
    mutable std::mutex mutex_;
    std::array<std::string, kSlots> entries_;
    int write_index_ = 0;
    int read_index_ = 0;
    bool closed_ = false;
};

inline constexpr std::size_t kMaxLineLength = 249;  // incoming lines keep this many characters

struct DeviceLink {
    explicit DeviceLink(int timeout_ms) : reply_timeout_ms(timeout_ms) {}

    // The open port, or null. Held under port_mutex around every read, write and
    // replacement, so a port is never closed under the communication thread's feet.
    std::mutex port_mutex;
    std::unique_ptr<SerialPort> port;
    std::atomic<bool> has_port{false};
    // The port's descriptor for a crash handler, -1 when there is none to write to.
    std::atomic<int> emergency_fd{-1};
    // Set when the port was replaced: the communication thread starts the device's reply
    // state afresh (ready, no countdown, no partial line) at the beginning of its next
    // pass, so nothing said to the old device is waited for on the new one.
    std::atomic<bool> restart_requested{false};
    // A '?' prompt answered a motion line (the controller refused the move). Set by the
    // communication thread; cleared by whoever starts a move it wants to watch.
    std::atomic<bool> motion_refused{false};
    // Goes up by one at every reply time-out, for whoever keeps a record of them.
    std::atomic<unsigned> reply_timeouts{0};

    CommandQueue queue;

    bool ready = true;
    bool awaiting_motion_reply = false;  // the line last sent was a motion line
    const int reply_timeout_ms;
    int countdown_ms = 0;
    const int bytes_per_read = 1;
    std::string rx_line;  // the line being assembled, at most kMaxLineLength characters
    std::string last_line;
};

// Puts a port in place (null: none), closing the old one first. Any thread.
void replace_port(DeviceLink& link, std::unique_ptr<SerialPort> port);
// Closes and forgets the port.
void close_port(DeviceLink& link);
// True when the link has a port whose device went away. Any thread.
bool port_lost(DeviceLink& link);
// After any use of the port, with port_mutex held: a port whose device went away gives
// the device back at once (a replugged adapter can then come back under its old name);
// the link keeps the dead port, so commands still go nowhere and time out as before.
void release_if_lost(DeviceLink& link);

// Appends a command line for the link's device. Dropped when the device has no port or its
// queue is closed. On overflow the "Fatal Communication Error" message goes to c's events,
// which never make the caller wait, so any caller may hold a lock.
void enqueue_command(CommState& c, std::string_view text, DeviceLink& link);

// Writes one byte straight to the port, between two whole lines of the thread.
void write_raw_byte(DeviceLink& link, std::uint8_t byte);

inline constexpr const char* kQueueOverflowMessage = "Fatal Communication Error";

}  // namespace quorvel
