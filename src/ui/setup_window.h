#pragma once
// The Setup window: the serial ports of the pump and the valve, the gearbox, the pump size,
// the measured microlitres per revolution and the controller's backlash compensation.
// Nothing is taken over until Apply. Window thread.

#include "ui/quorvel_dialog.h"
#include "ui/window_ids.h"

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QLineEdit;

namespace quorvel {

// The Setup window's controls (their objectName is "ctl" and the number).
namespace setup_ctl {
inline constexpr int PumpPortNone = 1000;   // 1001..1004: COM1..COM4
inline constexpr int ValvePortNone = 1100;  // 1101..1104: COM1..COM4
inline constexpr int Apply = 1301;
inline constexpr int Gearbox = 1400;
inline constexpr int PumpSize = 1401;
inline constexpr int BacklashEnable = 1500;
inline constexpr int BacklashAmount = 1501;
inline constexpr int UlPerRev = 1600;
inline constexpr int UseMeasured = 1601;
}  // namespace setup_ctl

class SetupWindow final : public QuorvelDialog {
  public:
    SetupWindow(AppContext& ctx, QWidget* owner);
    void notify(Note note, int param) override;
    void command(int id) override;

  private:
    QButtonGroup* add_port_group(int none_id, int x, bool& none_chosen);
    void build_pump();
    void build_gearbox_and_backlash();
    // The settings as they stand, into the controls.
    void show_settings();
    void show_ul_per_rev(int size);
    void show_backlash();
    void apply();
    void apply_ul_per_rev(int size);
    void apply_backlash();
    // True when a pump port was opened that was not open before.
    bool apply_ports();

    QButtonGroup* pump_ports_;
    QButtonGroup* valve_ports_;
    // "None" clicked since the last Apply: also a choice when None already shows, for a
    // configured port that is not open.
    bool pump_none_chosen_ = false;
    bool valve_none_chosen_ = false;
    QComboBox* gearbox_;
    QComboBox* pump_size_;
    QLineEdit* ul_per_rev_;
    QCheckBox* use_measured_;
    QCheckBox* backlash_enable_;
    QLineEdit* backlash_amount_;
};

}  // namespace quorvel
