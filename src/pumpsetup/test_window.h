#pragma once
// The Test window: run the pump by hand at a flow rate, continuously or for a fixed volume,
// within the flow window of the pump size, with lamps showing what the pump does.
// Window thread.

#include <QRect>
#include <array>

#include "pumpsetup/flow_check.h"
#include "shell/quorvel_dialog.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPainter;

namespace quorvel {

class TestWindow final : public QuorvelDialog {
  public:
    TestWindow(AppContext& ctx, QWidget* owner);
    void notify(Note note, int param) override;
    void command(int id) override;

    // The four lamps (Ready, Dispensing, Aspirating, Wait) in pixels of the client area.
    const std::array<QRect, 4>& lamps() const { return lamps_; }
    QRect lamp_area() const { return lamp_area_; }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void flow_field_left();
    void flow_unit_changed(QComboBox* box, int index);
    void move(int id);
    void refuse(double rate, FlowCheckPlace place);
    void paint_lamps(QPainter& p) const;

    QLabel* settings_line_;
    QLineEdit* flow_field_;
    QComboBox* flow_volume_unit_;
    QComboBox* flow_time_unit_;
    QLineEdit* fixed_field_;
    QComboBox* fixed_unit_;
    QCheckBox* enable_;
    std::array<QRect, 4> lamps_;
    QRect lamp_area_;
    QWidget* lamp_panel_;
    bool opening_ = true;     // no handler acts while the window fills its controls
    bool reverting_ = false;  // a refused unit is being selected again
};

// "%4.0f" for a whole number ("  10"), "%4.2f" otherwise.
QString format_test_value(double v);

}  // namespace quorvel
