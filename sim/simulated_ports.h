#pragma once
// The program's simulation mode: COM1 is a simulated pump controller and COM2 a simulated
// valve actuator, both running inside this process; COM3 and COM4 stay what they are.
// Any thread once started.

#include <string>

#include "comm/serial_port.h"
#include "sim_device.h"

namespace quorvel::sim {

class SimulatedPorts final : public PortProvider {
  public:
    // others: what COM3 and COM4 are.
    SimulatedPorts(PortProvider& others, double time_scale = 1.0);

    // Starts both devices; false with the reason when a pseudo-terminal cannot be made.
    bool start(std::string* error);

    std::unique_ptr<SerialPort> open(int index, std::string* reason) override;
    std::string device_name(int index) const override;

    SimPump& pump() { return pump_; }
    SimValve& valve() { return valve_; }

  private:
    PortProvider& others_;
    SimPump pump_;
    SimValve valve_;
};

}  // namespace quorvel::sim
