#pragma once
// What quorvel-run prints for a step: the line the Method window's step list shows, or
// one JSON object on one line for a program that follows the run. Any thread.

#include <optional>
#include <string>

#include "method/method_table.h"

namespace quorvel::run {

// The step list's line of row index r (numbered r + 1), without its trailing blanks.
std::string step_text_line(const MethodStep& row, int r);

// {"time":..,"row":..,"action":..,"volume":..,"rate":..,"position":..,"direction":..,
//  "wait":..,"event":..}: time in seconds since the run began (left out when absent), row
// numbered from 1, volume in uL and rate in uL/min (null for a valve step), position and
// direction (null for a pump step), wait in whole seconds. The values are the decoded
// ones, the same the runner sends.
std::string step_json_line(const MethodStep& row, int r, std::optional<double> time_s);

}  // namespace quorvel::run
