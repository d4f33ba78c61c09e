#pragma once
// Simulated pump controller and valve actuator, each serving the master side of a
// pseudo-terminal. The program opens the slave side (device_path()) like a serial port.
// Thread rules: every public member may be called from any thread.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/unique_fd.h"

namespace quorvel::sim {

// Faults a test or an operator can switch on while a device runs.
struct FaultSwitches {
    std::atomic<bool> silent{false};     // read lines but never answer
    std::atomic<bool> garbage{false};    // put a burst of random non-CR bytes before each answer
    std::atomic<bool> nul_bytes{false};  // put NUL bytes inside each answer
    // The pump's motion faults; the valve has none of these.
    std::atomic<bool> never_stops{false};     // a move runs until stopped, and no '|' comes
    std::atomic<bool> refuses_motion{false};  // '?' to MOVR and SLEW, and no move
    // hang_up() halfway through the first move, and no sooner than 0.2 s after it started
    std::atomic<bool> hangs_up_mid_move{false};
};

// Common pty plumbing: the master fd, a worker thread that reads whole lines (CR ends a
// line, LF is ignored) and calls on_line()/on_byte(), and timed behaviour. The worker
// sleeps in poll() until a byte arrives or next_event_s() is due; stop() and hang_up()
// wake it through an eventfd, so an idle device costs no CPU at all.
class PtyDevice {
  public:
    // time_scale multiplies every simulated duration: 0.01 runs motion 100 times faster.
    explicit PtyDevice(double time_scale);
    virtual ~PtyDevice();
    PtyDevice(const PtyDevice&) = delete;
    PtyDevice& operator=(const PtyDevice&) = delete;

    // Creates the pseudo-terminal (slave set raw) and starts the worker. False with a
    // reason in *error when the pty cannot be made.
    bool start(std::string* error = nullptr);
    // Stops the worker and closes the master. Idempotent; the destructor calls it.
    void stop();

    const std::string& device_path() const { return path_; }
    FaultSwitches& faults() { return faults_; }

    // Every complete line received so far (without its CR), in order.
    std::vector<std::string> received_lines() const;
    // Every raw byte received so far, CR and LF included.
    std::string received_bytes() const;
    // Forget what was received so far.
    void clear_received();
    // How many complete lines the device has finished handling, answer written or dropped.
    // Never reset. A test that flips a fault switch or reads state after sending lines waits
    // for this first, or it races the worker still deciding on an earlier line.
    std::size_t lines_handled() const { return lines_handled_.load(); }

    // Writes bytes to the program as they are (a test injects anything it likes).
    void send_raw(const std::string& bytes);
    // Sends one line of n printable characters followed by CR LF.
    void send_long_line(std::size_t n);
    // Closes the master side at once, as when a cable is pulled; the worker ends.
    void hang_up();
    bool hung_up() const { return hung_up_.load(); }

  protected:
    // The worker's calls, all on the worker thread. on_line() for every completed line;
    // on_time() after every wake-up, and at the latest when next_event_s() (a now_s()
    // moment, infinity for none) has come. Timed state changes only on the worker, so the
    // moment is asked for again before each sleep.
    virtual void on_line(const std::string& line) = 0;
    virtual void on_time(double now_s) = 0;
    virtual double next_event_s() const = 0;
    // Called for a raw byte before line assembly; return true to swallow it.
    virtual bool on_byte(unsigned char) { return false; }
    // Names the worker thread (15 characters at most), so it can be told apart in /proc.
    virtual const char* thread_name() const = 0;
    // Sends an answer, applying the fault switches (silent, garbage, NUL bytes).
    void answer(const std::string& text);
    double scaled(double seconds) const { return seconds * time_scale_; }
    double now_s() const;

  private:
    void run();
    // Milliseconds poll() may sleep before next_event_s() is due; -1 for no limit.
    int sleep_limit_ms() const;
    // Wakes every poll() on wake_fd_ for good: only ending the device needs it.
    void wake_worker();
    // Line assembly for bytes read from the master (worker thread).
    void consume(const unsigned char* data, std::size_t size);
    void write_all(const std::string& bytes);
    // Closes the master under write_mutex_ so that no write can be using it; idempotent.
    void close_master();
    bool on_worker_thread() const;

    double time_scale_;
    UniqueFd master_fd_;
    UniqueFd slave_keep_fd_;
    // An eventfd made once with the object and never drained: once stop() or hang_up()
    // writes it, it stays readable, so neither a late sleeper nor a writer stalled on a
    // full line can miss it.
    UniqueFd wake_fd_;
    std::string path_;
    std::thread worker_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> hung_up_{false};
    FaultSwitches faults_;
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
    std::string bytes_;
    std::string partial_;
    std::atomic<std::size_t> lines_handled_{0};
    std::mutex write_mutex_;

    // start()/stop() serialised against each other.
    std::mutex lifecycle_mutex_;
    bool started_ = false;
    // hang_up() from another thread asks the worker to close the master (the worker is
    // the only thread that polls it) and waits on life_cv_ until it has.
    std::atomic<bool> hangup_requested_{false};
    std::atomic<std::thread::id> worker_id_{};
    std::mutex life_mutex_;
    std::condition_variable life_cv_;
    bool worker_running_ = false;  // guarded by life_mutex_

    std::mutex rng_mutex_;
    std::minstd_rand rng_;
};

// The pump's motor controller.
class SimPump : public PtyDevice {
  public:
    explicit SimPump(double time_scale = 1.0);
    ~SimPump() override;

    bool moving() const { return moving_.load(); }
    bool monitor_running() const { return monitor_running_.load(); }
    bool backlash_enabled() const { return ble_.load(); }
    double backlash() const;
    double velocity() const;
    double munit() const;
    double msel() const;
    bool saved() const { return saved_.load(); }
    int moves_started() const { return moves_started_.load(); }

    // Sets what the controller reports for "ble" and "blsh".
    void set_backlash(bool enabled, double amount);

  protected:
    void on_line(const std::string& line) override;
    void on_time(double now_s) override;
    double next_event_s() const override;
    bool on_byte(unsigned char b) override;
    const char* thread_name() const override { return "sim-pump"; }

  private:
    // Answers queued under state_mutex_ and sent after it is released, in order.
    void flush_outbox();
    // The rest expect state_mutex_ held; answers and motion reports go to outbox_.
    void start_motion(double duration_s);  // duration < 0: until SSTP
    void stop_motion();
    void enter_program_line(const std::string& raw, const std::string& norm);
    // The answer to a command that is not an assignment; false when the line is none.
    bool answer_command(const std::string& raw, const std::string& norm);
    // The answer to "key=v".
    void assign(const std::string& key, double v);

    mutable std::mutex state_mutex_;
    double velocity_ = 1.0;
    double munit_ = 0.0;
    double msel_ = 0.0;
    double blsh_ = 1.0;
    std::atomic<bool> ble_{false};
    std::atomic<bool> saved_{false};
    std::atomic<bool> moving_{false};
    std::atomic<bool> monitor_running_{false};
    std::atomic<int> moves_started_{0};
    bool entering_program_ = false;
    bool program_loaded_ = false;
    double motion_end_s_ = -1.0;  // < 0 with moving_: slewing until SSTP
    double hang_up_at_s_ = -1.0;  // >= 0: when hangs_up_mid_move closes the line
    std::vector<std::string> program_body_;
    std::vector<std::string> outbox_;
};

// The selector-valve actuator.
class SimValve : public PtyDevice {
  public:
    explicit SimValve(double time_scale = 1.0);
    ~SimValve() override;

    int position() const { return position_.load(); }
    bool moving() const { return moving_.load(); }
    int moves_started() const { return moves_started_.load(); }

  protected:
    void on_line(const std::string& line) override;
    void on_time(double now_s) override;
    double next_event_s() const override;
    const char* thread_name() const override { return "sim-valve"; }

  private:
    std::atomic<int> position_{1};
    std::atomic<bool> moving_{false};
    std::atomic<int> moves_started_{0};
    int target_ = 1;
    double move_end_s_ = 0.0;
    int pending_cp_ = 0;  // "cp" requests waiting for the move to end
    // target_, move_end_s_ and pending_cp_ are touched by the worker thread only.
};

}  // namespace quorvel::sim
