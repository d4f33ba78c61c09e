#include "run_records.h"

#include <ctime>

#include "common/json_text.h"
#include "common/numeric_text.h"

namespace quorvel {
namespace {

// A port as the operator names it: "COM1".."COM4", or the device given by its path.
std::string port_name_json(const std::optional<PortRecord>& p) {
    if (!p) return "null";
    return json_string(p->com ? "COM" + std::to_string(p->com) : p->device);
}

std::string device_json(const std::optional<PortRecord>& p) {
    return p ? json_string(p->device) : "null";
}

std::string seconds(std::optional<double> t) {
    return t ? json_number(*t, 3) : "null";
}

std::string row_json(int r) {
    return r >= 0 ? std::to_string(r + 1) : "null";
}

const char* end_word(RunEnd e) {
    switch (e) {
        case RunEnd::Finished:
            return "finished";
        case RunEnd::Stopped:
            return "stopped";
        case RunEnd::Failed:
            break;
    }
    return "failed";
}

}  // namespace

std::string iso8601_utc(std::chrono::system_clock::time_point t) {
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(t.time_since_epoch()).count();
    const std::time_t secs = static_cast<std::time_t>(ms / 1000 - (ms % 1000 < 0 ? 1 : 0));
    std::tm tm{};
    ::gmtime_r(&secs, &tm);
    char buf[40];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
    const long long frac = ((ms % 1000) + 1000) % 1000;
    return std::string(buf) + "." + (frac < 100 ? "0" : "") + (frac < 10 ? "0" : "") +
           std::to_string(frac) + "Z";
}

std::string start_record(const RunStartRecord& s) {
    const PumpSettings& p = s.settings;
    const bool size_known = p.pump >= 0 && p.pump < kPumpSizeCount;
    const bool gearbox_known = p.gearbox >= 0 && p.gearbox < kGearboxCount;
    return "{\"type\":\"start\",\"time\":" + json_string(iso8601_utc(s.time)) +
           ",\"method\":" + json_string_or_null(s.method) +
           ",\"sha256\":" + json_string_or_null(s.sha256) +
           ",\"steps\":" + std::to_string(s.steps) + ",\"start_row\":" + row_json(s.start_row) +
           ",\"repeat\":" + (s.repeat ? "true" : "false") +
           ",\"pump_port\":" + port_name_json(s.pump_port) +
           ",\"pump_device\":" + device_json(s.pump_port) +
           ",\"valve_port\":" + port_name_json(s.valve_port) +
           ",\"valve_device\":" + device_json(s.valve_port) + ",\"pump_size\":" +
           (size_known ? std::string(PumpNames[static_cast<std::size_t>(p.pump)]) : "null") +
           ",\"ul_per_rev\":" + json_number(ul_per_rev_in_force(p), 4) + ",\"gearbox\":" +
           (gearbox_known ? json_string(GearboxNames[static_cast<std::size_t>(p.gearbox)])
                          : "null") +
           ",\"program\":" + json_string(s.program) + ",\"version\":" + json_string(s.version) +
           "}";
}

std::string step_record(const StepParams& p, int r, std::optional<double> time_s) {
    const bool valve = drives_valve(p.action);
    const bool pump = drives_pump(p.action);
    std::string j = "{\"type\":\"step\",";
    if (time_s) j += "\"time\":" + json_number(*time_s, 3) + ",";
    j += "\"row\":" + std::to_string(r + 1);
    const std::string_view action = action_word(p.action);
    j += ",\"action\":" + json_string(action.empty() ? "None" : action);
    j += ",\"volume\":" + (pump ? json_number(p.volume_ul, 4) : "null");
    j += ",\"rate\":" + (pump ? json_number(p.rate_ul_per_sec * 60.0, 2) : "null");
    j += ",\"position\":" + (valve ? std::to_string(p.valve_position) : "null");
    j += ",\"direction\":" + (valve && p.valve_direction != ValveDirection::None
                                  ? json_string(direction_word(p.valve_direction))
                                  : "null");
    j += ",\"wait\":" + std::to_string(p.wait_ms / 1000);
    j += ",\"event\":";
    j += p.event ? "true" : "false";
    j += "}";
    return j;
}

std::string row_record(std::string_view type, int r, std::optional<double> time_s) {
    return "{\"type\":" + json_string(type) + ",\"time\":" + seconds(time_s) +
           ",\"row\":" + row_json(r) + "}";
}

std::string error_record(const std::string& message, std::optional<DeviceRole> device,
                         const std::optional<PortRecord>& port, std::optional<double> time_s) {
    const std::string device_json = !device                       ? "null"
                                    : *device == DeviceRole::Pump ? "\"pump\""
                                                                  : "\"valve\"";
    return "{\"type\":\"error\",\"time\":" + seconds(time_s) +
           ",\"message\":" + json_string(message) + ",\"device\":" + device_json +
           ",\"port\":" + port_name_json(port) + "}";
}

std::string end_record(RunEnd status, std::optional<int> exit_status, int r,
                       const std::string& message, std::chrono::system_clock::time_point t) {
    return "{\"type\":\"end\",\"status\":" + json_string(end_word(status)) +
           ",\"exit\":" + (exit_status ? std::to_string(*exit_status) : "null") +
           ",\"row\":" + row_json(r) + ",\"message\":" + json_string(message) +
           ",\"time\":" + json_string(iso8601_utc(t)) + "}";
}

}  // namespace quorvel
