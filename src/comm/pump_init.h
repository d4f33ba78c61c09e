#pragma once
// Pump initialisation: read the controller's backlash settings, configure it, load the
// monitor program that reports every start and end of motion, then send the calibration.
// One script line per controller reply, fed from the communication thread.

#include <array>
#include <functional>
#include <span>
#include <string_view>

namespace quorvel {

struct CommState;
class PassHooks;

// Each script ends with the word "stop", which is never sent.
using InitScript = std::span<const std::string_view>;

inline constexpr std::array<std::string_view, 3> backlash_query_script{
    "print \"ble=\",ble",
    "print \"blsh=\",blsh",
    "stop",
};

inline constexpr std::array<std::string_view, 21> controller_setup_script{
    "echo 1=0",
    "echo 2=0",
    "msel=256",
    "pos=0",
    "blm=1",
    "ios 21 = 18,1,0",
    // Program 200 keeps the last value of the motion variable mvg and prints '~' when the
    // motor starts and '|' when it stops.
    "Pgm 200",
    "VAR oldmvg=28",
    "LBL loop1",
    "BR loop1, mvg=oldmvg",
    "oldmvg=mvg",
    "BR ismove, oldmvg=1",
    "PRINT \"|\"",
    "BR loop1",
    "LBL ismove",
    "PRINT \"~\"",
    "BR loop1",
    "END",
    "Pgm",
    "run 200",
    "stop",
};

enum class InitStart { Started, AlreadyRunning, NoPort };

// Main thread. When none runs: with a pump port, calls on_start and starts the
// scripts; without one, tells c's events "Please select a serial port first".
InitStart start_pump_initialisation(CommState& c, const std::function<void()>& on_start);

// Ends a running initialisation and empties the pump queue, as one step for the
// communication thread (the reply time-out handling). Any thread.
void cancel_pump_initialisation(CommState& c);

// Step 5 of a pass; after the last script line, hooks queue the calibration. Communication
// thread only.
void initialisation_step(CommState& c, PassHooks& hooks);

}  // namespace quorvel
