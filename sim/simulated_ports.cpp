#include "simulated_ports.h"

namespace quorvel::sim {

SimulatedPorts::SimulatedPorts(PortProvider& others, double time_scale)
    : others_(others), pump_(time_scale), valve_(time_scale) {}

bool SimulatedPorts::start(std::string* error) {
    return pump_.start(error) && valve_.start(error);
}

std::unique_ptr<SerialPort> SimulatedPorts::open(int index, std::string* reason) {
    if (index == 1) return open_serial_device(pump_.device_path(), reason);
    if (index == 2) return open_serial_device(valve_.device_path(), reason);
    return others_.open(index, reason);
}

std::string SimulatedPorts::device_name(int index) const {
    if (index == 1) return "simulated pump controller (" + pump_.device_path() + ")";
    if (index == 2) return "simulated valve actuator (" + valve_.device_path() + ")";
    return others_.device_name(index);
}

}  // namespace quorvel::sim
