#pragma once
// Runs the method in memory step by step inside the communication thread's passes, and
// the one operation through which the run mode changes.

namespace quorvel {

struct System;
enum class MethodRunMode : int;

// Any thread (the Method window, the Open and New commands). Idle also rewinds the run,
// clears the motion flags and queues SSTP; the Method window is told to show the mode.
void set_run_mode(System& sys, MethodRunMode mode);

// Step 10 of a pass, while the Method window is open. Communication thread only.
void run_method_step(System& sys);

// Step 7 of a pass: the step's wait runs down only while the pump is still and the valve
// not busy. Communication thread only.
void method_wait_countdown(System& sys, int elapsed_ms);

}  // namespace quorvel
