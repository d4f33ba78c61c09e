#pragma once
// Runs the method in memory step by step inside the communication thread's passes, and
// the one operation through which the run mode changes.

#include "method/method_table.h"

namespace quorvel {

struct CommState;
struct MethodRun;
enum class MethodRunMode : int;

// Any thread (the Method window, the Open and New commands). Active decodes the table's rows
// for the runner; Idle also rewinds the run, clears the motion flags and queues SSTP. The
// run's events hear of the change.
void set_run_mode(MethodRun& run, const MethodTable& table, CommState& comm, MethodRunMode mode);

// Pauses or resumes the run. Returns the run's steps_started at that moment: every step
// started before a pause counts in it, and none starts after it. Any thread.
unsigned set_run_paused(MethodRun& run, bool paused);

// What an Active run waits for now, by the runner's own test of whether a step may start:
// nothing more (the last step is over and Repeat is off), or the operator's Event for the
// row event_row (-1: neither). Communication thread, after the runner.
struct RunOutlook {
    bool done = false;
    int event_row = -1;
};
RunOutlook run_outlook(MethodRun& run, const CommState& comm);

// Step 10 of a pass, while a front end follows the method. Communication thread only.
void run_method_step(MethodRun& run, CommState& comm);

// Step 7 of a pass: the step's wait runs down only while the pump is still and the valve
// not busy. Communication thread only.
void method_wait_countdown(MethodRun& run, const CommState& comm, int elapsed_ms);

}  // namespace quorvel
