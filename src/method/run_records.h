#pragma once
// The records of a method run, one JSON object a line: what quorvel-run prints with --json,
// and what every run, from the command line or the Method window, appends to its run
// record. Labs' scripts and audit trails read them, so members are only ever added; none is
// renamed or removed. Rows are numbered from 1. Any thread.

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "comm/comm_events.h"
#include "common/settings.h"
#include "method/method_table.h"

namespace quorvel {

// A device's port: in records "COM1".."COM4", or the device's path when it was given by
// its path; the start record also names the device file of each.
struct PortRecord {
    int com = 0;  // 1..4, or 0
    std::string device;
};

struct RunStartRecord {
    std::optional<std::string> method;  // the path as given; none for an unsaved method
    std::optional<std::string> sha256;  // of the bytes the method was read from
    int steps = 0;
    int start_row = 0;  // row index the run starts at
    bool repeat = false;
    std::optional<PortRecord> pump_port;
    std::optional<PortRecord> valve_port;
    PumpSettings settings;
    std::string version;
    std::string program;  // "quorvel-run" or "quorvel"
    std::chrono::system_clock::time_point time;
};

enum class RunEnd { Finished, Stopped, Failed };

// "2026-12-08T22:41:05.123Z"
std::string iso8601_utc(std::chrono::system_clock::time_point t);

std::string start_record(const RunStartRecord& s);
// {"type":"step","time":..,"row":..,"action":..,"volume":..,"rate":..,"position":..,
//  "direction":..,"wait":..,"event":..}: time in seconds since the run began (left out when
// absent), volume in uL and rate in uL/min (null for a valve step), position and direction
// (null for a pump step), wait in whole seconds. The values are the decoded ones, the same
// the runner sends (decode_row's).
std::string step_record(const StepParams& p, int r, std::optional<double> time_s);
// "wait", "event", "pause" or "resume" at row index r (-1: none yet, null), time in seconds
// since the run began (null before it began), as in every record but start and end.
std::string row_record(std::string_view type, int r, std::optional<double> time_s);
std::string error_record(const std::string& message, std::optional<DeviceRole> device,
                         const std::optional<PortRecord>& port, std::optional<double> time_s);
// row: the row index last started, or -1; exit: the program's exit status (null for a run
// in the program's window, which goes on).
std::string end_record(RunEnd status, std::optional<int> exit_status, int r,
                       const std::string& message, std::chrono::system_clock::time_point t);

}  // namespace quorvel
