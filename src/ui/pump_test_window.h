#pragma once
// The Test window: run the pump by hand at a flow rate, continuously or for a fixed volume,
// within the flow window of the pump size, with lamps showing what the pump does.
// Window thread.

#include <QRect>
#include <array>

#include "comm/comm_state.h"
#include "pumpsetup/flow_check.h"
#include "ui/quorvel_dialog.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;

namespace quorvel {

class StateLamp;

// The Test window's controls (their objectName is "ctl" and the number).
namespace test_ctl {
inline constexpr int FlowVolumeUnit = 2002;
inline constexpr int FlowTimeUnit = 2003;
inline constexpr int FlowRate = 2004;
inline constexpr int Dispense = 2005;
inline constexpr int Aspirate = 2006;
inline constexpr int Stop = 2007;
inline constexpr int FixedVolume = 2008;
inline constexpr int FixedVolumeUnit = 2009;
inline constexpr int Enable = 2010;
inline constexpr int SettingsLine = 2011;
}  // namespace test_ctl

class TestWindow final : public QuorvelDialog {
  public:
    TestWindow(AppContext& ctx, QWidget* owner);
    void notify(Note note, int param) override;
    void command(int id) override;

    // The four lamps (Ready, Dispensing, Aspirating, Wait) in pixels of the client area; the
    // outline is painted one pixel past right() and bottom(), as a one-pixel pen draws it.
    const std::array<QRect, 4>& lamps() const { return lamps_; }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    // The controls, group by group; the order they are made in is the Tab order.
    void add_lamps();
    void build_flow_rate();
    void build_fixed_volume();
    void label_lamps();
    void build_buttons();
    void connect_choices();

    void flow_field_left();
    void flow_unit_changed(QComboBox* box, int index);
    void move(int id);
    void refuse(double rate, FlowCheckPlace place);
    void show_activity(PumpActivity activity);

    QLabel* settings_line_;
    QLineEdit* flow_field_;
    QComboBox* flow_volume_unit_;
    QComboBox* flow_time_unit_;
    QLineEdit* fixed_field_;
    QComboBox* fixed_unit_;
    QCheckBox* enable_;
    std::array<QRect, 4> lamps_;
    std::array<StateLamp*, 4> lamp_widgets_{};
    PumpActivity shown_activity_ = PumpActivity::Ready;
    bool opening_ = true;     // no handler acts while the window fills its controls
    bool reverting_ = false;  // a refused unit is being selected again
    bool closing_ = false;    // Quit, Escape or the close box is closing the window
};

// "%4.0f" for a whole number ("  10"), "%4.2f" otherwise.
QString format_test_value(double v);

}  // namespace quorvel
