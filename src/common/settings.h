#pragma once
// The configuration kept in setup.txt: ports, pump size, gearbox and the measured
// microlitres per revolution. Reader and writer are plain file logic; any thread, on a
// record the caller owns.

#include <array>
#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace quorvel {

struct PumpSettings {
    int com_pump = 0;        // 0 none, 1..4 COM1..COM4
    int com_valve = 0;       // same coding
    int gearbox = 0;         // index into GearboxNames / GearRatios
    int pump = 1;            // pump size index into PumpNames / NominalUlPerRev / pump_ul
    int enable_pump_ul = 0;  // 1: use the measured pump_ul instead of the nominal value
    std::array<float, 4> pump_ul{4.009f, 100.55f, 628.436f, 750.046f};

    bool operator==(const PumpSettings&) const = default;
};

inline constexpr int kGearboxCount = 4;
inline constexpr int kPumpSizeCount = 4;
inline constexpr std::array<std::string_view, kGearboxCount> GearboxNames{"KR-TVN1", "KR-TVN2",
                                                                          "KR-TVN3", "KR-TVN4"};
inline constexpr std::array<float, kGearboxCount> GearRatios{4.75f, 9.8596f, 14.915f, 22.5625f};
// Size "625" really moves 628 uL per revolution.
inline constexpr std::array<std::string_view, kPumpSizeCount> PumpNames{"4", "100", "625", "750"};
inline constexpr std::array<float, kPumpSizeCount> NominalUlPerRev{4.0f, 100.0f, 628.0f, 750.0f};

// The microlitres per revolution in force for the selected size.
float ul_per_rev_in_force(const PumpSettings& s);

// Interprets a settings file handed over in pieces of any size, holding one line at most.
// A line is interpreted when its line end arrives, so a last line without one never is.
class SetupTextParser {
  public:
    explicit SetupTextParser(PumpSettings& s) : s_(s) {}
    void feed(std::string_view bytes);

  private:
    PumpSettings& s_;
    std::string line_;
};

// Interprets the bytes of a settings file into s. Fields without an acceptable line keep
// their value; a last line without a line end is not interpreted.
void parse_setup_text(PumpSettings& s, std::string_view bytes);

// Reads the settings file. When it cannot be opened, is not a regular file or is larger
// than kSetupFileMaxBytes, pump size and gearbox become 0 and every other field keeps its
// value (the historical behaviour operators know).
inline constexpr std::size_t kSetupFileMaxBytes = 1 << 20;  // thousands of times any real one
void read_setup_file(PumpSettings& s, const std::filesystem::path& file);

// The file's exact bytes; a port line is written only for a port that is open.
std::string format_setup_text(const PumpSettings& s, bool pump_port_open, bool valve_port_open);

// Replaces the file as one step; false with the reason when it could not be written (the
// old file then stays as it was).
bool write_setup_file(const PumpSettings& s, const std::filesystem::path& file, bool pump_port_open,
                      bool valve_port_open, std::string* error = nullptr);

inline constexpr std::string_view kSetupFileName = "setup.txt";

}  // namespace quorvel
