#pragma once
// The Method window: the step list of the method in memory, its run controls and lamps,
// and the Edit mode in which rows are made and changed. Window thread.

#include <QRect>
#include <array>

#include "method/method_run.h"
#include "method/method_table.h"
#include "ui/quorvel_dialog.h"

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QFont;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QRadioButton;

namespace quorvel {

class StateLamp;

// The Method window's controls (their objectName is "ctl" and the number).
// The Method window's question before its method goes (Close, Quit, a method handed over).
inline constexpr const char* kSaveBeforeClosing = "Do you want to save this method before closing?";

namespace method_ctl {
inline constexpr int SettingsLine = 2011;
inline constexpr int Name = 4002;
inline constexpr int Status = 4003;
inline constexpr int Run = 4004;
inline constexpr int Reset = 4005;
inline constexpr int Event = 4006;
inline constexpr int Heading = 4007;
inline constexpr int Edit = 4008;
inline constexpr int Repeat = 4010;
inline constexpr int EndEdit = 4100;
inline constexpr int Aspirate = 4101;
inline constexpr int Dispense = 4102;
inline constexpr int Wash = 4103;
inline constexpr int MultiPos = 4104;
inline constexpr int TwoPos = 4105;
inline constexpr int Volume = 4106;
inline constexpr int Rate = 4107;
inline constexpr int Wait = 4108;
inline constexpr int StepEvent = 4109;
inline constexpr int Up = 4110;
inline constexpr int Down = 4111;
inline constexpr int RowNumber = 4112;
inline constexpr int Insert = 4113;
inline constexpr int Delete = 4114;
inline constexpr int Duplicate = 4115;
inline constexpr int Position = 4116;
inline constexpr int Direction = 4117;
inline constexpr int StepList = 4200;
inline constexpr int Close = 4201;
}  // namespace method_ctl

class MethodWindow final : public QuorvelDialog {
  public:
    // The six activity lamps, in this order.
    enum Lamp { Ready, Wait, Dispense, Aspirate, Wash, Valve, LampCount };

    MethodWindow(AppContext& ctx, QWidget* owner);
    void notify(Note note, int param) override;
    void command(int id) override;

    // Lamp squares in pixels of the client area; the outline is painted one pixel past
    // right() and bottom(), as a one-pixel pen draws it.
    const std::array<QRect, LampCount>& lamps() const { return lamps_; }

  private:
    // The band between the settings line and the step list: the lamps in their frame, the
    // run controls left and right of it. Pixels of the client area.
    struct Band {
        int top;
        int bottom;
        QRect lamp_frame;
    };

    // The band reckons in pixels: a frame behind the controls in it and a button at a pixel
    // rectangle; a label at dialog units, as place() puts it.
    QGroupBox* add_frame(const QString& title, const QRect& r);
    QLabel* add_label(const QString& text, int id, int x, int y, int w, int h);
    QPushButton* add_button_at(int id, const QString& text, const QRect& r);
    bool editing() const;

    // Run: the mode becomes Active only for a method the devices can do.
    void start_run();
    void edit();
    void end_edit();
    void close_window();

    // The lamps, the run controls and the name and status lines (method_run_controls.cpp).
    void measure_lamps();
    Band build_lamp_panel();
    void build_run_controls(const Band& band);
    void show_name();
    void show_mode();
    void show_activity(int activity);

    // The step list and its heading (method_step_list.cpp).
    void build_step_list(const QFont& fixed, int top);
    void fill_list(int n);
    void render_row(int r);
    void select_line(int r);
    int selected_line() const;
    void list_selection_changed();

    // The Method Edit group (method_edit_panel.cpp).
    void build_edit_group();
    void build_row_buttons();
    void build_action_radios();
    void build_step_fields();
    void set_edit_enabled(bool on);
    void step_row(int delta);
    void row_operation(int id);
    void show_current_row();
    // Edit handlers; each ends by writing the current row back.
    void action_clicked(int id);
    void volume_changed();
    void rate_changed();
    void wait_changed();
    void position_chosen(int index);
    void direction_chosen(int index);
    void event_clicked(bool checked);
    void store_current_row();
    // Sets a field's text and runs its handler, as typing it would.
    void set_field(QLineEdit* field, const QString& text);
    void fill_valve_lists(bool multi);
    void set_radio(int id);

    QLabel* settings_line_;
    QLabel* name_;
    QLabel* status_;
    QCheckBox* repeat_;
    QListWidget* list_;
    QGroupBox* edit_group_ = nullptr;
    QButtonGroup* actions_ = nullptr;
    QLabel* row_number_ = nullptr;
    QLineEdit* volume_ = nullptr;
    QLineEdit* rate_ = nullptr;
    QLineEdit* wait_ = nullptr;
    QCheckBox* step_event_ = nullptr;
    QComboBox* position_ = nullptr;
    QComboBox* direction_ = nullptr;

    // The row being edited, decoded: the window's own, never the runner's.
    StepParams edit_step_;
    std::array<QRect, LampCount> lamps_;
    std::array<StateLamp*, LampCount> lamp_widgets_{};
    int shown_activity_ = -1;
    bool selecting_ = false;  // the window itself is changing the step list's selection
    bool clamping_ = false;   // a rate above the maximum is being replaced by it
    bool closed_ = false;
};

}  // namespace quorvel
