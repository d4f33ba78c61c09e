#include "setup_window.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <array>
#include <utility>

#include "comm/pump_commands.h"
#include "common/numeric_text.h"
#include "pumpsetup/calibration.h"
#include "session/session.h"
#include "session/system.h"
#include "ui/message_presenter.h"
#include "ui/notification_bridge.h"

namespace quorvel {
namespace {

constexpr int kFieldChars = 39;

QString fixed(double v, int precision) {
    return QString::fromStdString(format_fixed(v, 4, precision));
}

double field_value(const QLineEdit* field) {
    return c_atof(field->text().left(kFieldChars).toStdString());
}

bool valid_size(int size) {
    return size >= 0 && size < kPumpSizeCount;
}

// 1..4 for the first checked of COM1..COM4, else 0 ("None", or nothing checked after a
// port failed to open).
int selected_port(const QButtonGroup* group, int none_id) {
    for (int i = 1; i <= 4; ++i) {
        if (group->button(none_id + i)->isChecked()) return i;
    }
    return 0;
}

void check_none_of(QButtonGroup* group) {
    // An exclusive group never lets its checked button go.
    group->setExclusive(false);
    for (QAbstractButton* b : group->buttons()) b->setChecked(false);
    group->setExclusive(true);
}

// Digits and points only; an empty text passes.
bool passes_character_test(const QString& text) {
    for (const QChar c : text.left(kFieldChars)) {
        if (!(c >= QLatin1Char('0') && c <= QLatin1Char('9')) && c != QLatin1Char('.'))
            return false;
    }
    return true;
}

}  // namespace

SetupWindow::SetupWindow(AppContext& ctx, QWidget* owner)
    : QuorvelDialog(ctx, WindowId::Setup, owner, "Setup", 312, 112, 150, 90) {
    add_group("Pump", 8, 3, 46, 77);
    add_group("Valve", 62, 3, 46, 77);
    add_group("Pump", 113, 3, 98, 67);
    add_group("Gearbox", 216, 3, 90, 32);
    add_group("Backlash", 216, 42, 90, 46);

    pump_ports_ = add_port_group(setup_ctl::PumpPortNone, 15, pump_none_chosen_);
    valve_ports_ = add_port_group(setup_ctl::ValvePortNone, 69, valve_none_chosen_);
    build_pump();
    build_gearbox_and_backlash();
    add_button(setup_ctl::Apply, "Apply", 100, 86, 44, 14);
    add_button(cmd::Close, "Close", 150, 86, 44, 14);

    show_settings();

    // What the operator changes here only shows; Apply takes it over.
    connect(pump_size_, &QComboBox::currentIndexChanged, this,
            [this](int size) { show_ul_per_rev(size); });
    connect(use_measured_, &QCheckBox::clicked, this,
            [this] { show_ul_per_rev(pump_size_->currentIndex()); });
}

QButtonGroup* SetupWindow::add_port_group(int none_id, int x, bool& none_chosen) {
    auto* g = new QButtonGroup(this);
    const char* names[] = {"None", "Com 1", "Com 2", "Com 3", "Com 4"};
    for (int i = 0; i <= 4; ++i) {
        auto* b = new QRadioButton(names[i], this);
        place(b, none_id + i, x, 14 + 12 * i, 34, 12);
        g->addButton(b, none_id + i);
    }
    connect(g, &QButtonGroup::idClicked, this,
            [&none_chosen, none_id](int id) { none_chosen = id == none_id; });
    return g;
}

void SetupWindow::build_pump() {
    pump_size_ = new QComboBox(this);
    for (const auto name : PumpNames)
        pump_size_->addItem(QString::fromUtf8(name.data(), name.size()));
    place(pump_size_, setup_ctl::PumpSize, 130, 17, 50, 12);
    ul_per_rev_ = new QLineEdit(this);
    ul_per_rev_->setAlignment(Qt::AlignRight);
    place(ul_per_rev_, setup_ctl::UlPerRev, 130, 37, 40, 12);
    place(new QLabel("uL/rev", this), 0, 173, 39, 34, 10);
    use_measured_ = new QCheckBox("Use measured uL./rev.", this);
    place(use_measured_, setup_ctl::UseMeasured, 120, 53, 88, 12);
}

void SetupWindow::build_gearbox_and_backlash() {
    gearbox_ = new QComboBox(this);
    for (const auto name : GearboxNames)
        gearbox_->addItem(QString::fromUtf8(name.data(), name.size()));
    place(gearbox_, setup_ctl::Gearbox, 226, 17, 50, 12);

    backlash_enable_ = new QCheckBox("Enable", this);
    place(backlash_enable_, setup_ctl::BacklashEnable, 222, 55, 36, 12);
    backlash_amount_ = new QLineEdit(this);
    backlash_amount_->setAlignment(Qt::AlignRight);
    place(backlash_amount_, setup_ctl::BacklashAmount, 222, 71, 40, 12);
    place(new QLabel("Microliter", this), 0, 265, 73, 38, 10);
}

void SetupWindow::show_settings() {
    // A port number whose port is not open shows, and becomes, none.
    const CommState& c = ctx_.sys.comm;
    ctx_.sys.update_config([&](PumpSettings& s, PumpCalibration&) {
        if (s.com_pump < 1 || s.com_pump > 4 || !c.pump.has_port.load()) s.com_pump = 0;
        if (s.com_valve < 1 || s.com_valve > 4 || !c.valve.has_port.load()) s.com_valve = 0;
    });
    const PumpSettings s = ctx_.sys.settings();
    pump_ports_->button(setup_ctl::PumpPortNone + s.com_pump)->setChecked(true);
    valve_ports_->button(setup_ctl::ValvePortNone + s.com_valve)->setChecked(true);
    gearbox_->setCurrentIndex(s.gearbox);
    pump_size_->setCurrentIndex(s.pump);
    use_measured_->setChecked(s.enable_pump_ul == 1);
    show_ul_per_rev(s.pump);
    show_backlash();
}

void SetupWindow::show_ul_per_rev(int size) {
    const bool measured = use_measured_->isChecked();
    ul_per_rev_->setReadOnly(!measured);
    if (!valid_size(size)) return;
    const float v = measured ? ctx_.sys.settings().pump_ul[size] : NominalUlPerRev[size];
    ul_per_rev_->setText(fixed(v, 4));
}

void SetupWindow::show_backlash() {
    const CommState& c = ctx_.sys.comm;
    backlash_enable_->setChecked(c.backlash_enabled.load());
    backlash_amount_->setText(fixed(c.backlash_ul.load(), 8));
}

void SetupWindow::notify(Note note, int) {
    // The controller's own settings win over an edit not yet applied.
    if (note == Note::BacklashRead) show_backlash();
}

void SetupWindow::command(int id) {
    if (id == setup_ctl::Apply)
        apply();
    else
        QuorvelDialog::command(id);
}

void SetupWindow::apply() {
    const int size = pump_size_->currentIndex();
    const int measured = use_measured_->isChecked() ? 1 : 0;
    ctx_.sys.update_config([&](PumpSettings& s, PumpCalibration&) {
        s.gearbox = gearbox_->currentIndex();
        s.pump = size;
        s.enable_pump_ul = measured;
    });
    if (measured == 1 && valid_size(size)) apply_ul_per_rev(size);
    ctx_.sys.comm.backlash_enabled.store(backlash_enable_->isChecked());
    apply_backlash();
    const bool pump_opened = apply_ports();

    // Sent even without a pump port: the queue drops them then.
    apply_calibration(ctx_.sys.config, ctx_.sys.comm, measured);
    const CommState& c = ctx_.sys.comm;
    send_pump_value(ctx_.sys.comm, PumpCommand::BLE, c.backlash_enabled.load() ? 1.0 : 0.0, false);
    send_pump_value(ctx_.sys.comm, PumpCommand::BLSH, c.backlash_ul.load(), false);
    send_pump_command(ctx_.sys.comm, PumpCommand::SAVE);
    // The new controller gets the lines above before the initialisation's.
    if (pump_opened) ctx_.bridge.post(WindowId::Main, Note::StartInit);
}

void SetupWindow::apply_ul_per_rev(int size) {
    const QString text = ul_per_rev_->text();
    if (!passes_character_test(text)) {
        ctx_.presenter.message(this, "Invalid ul/revolution value", "fyi");
    } else {
        const auto v = static_cast<float>(field_value(ul_per_rev_));
        const float n = NominalUlPerRev[size];
        const float h = n * 0.5f;
        if (v < n - h || v > n + h) {
            ctx_.presenter.message(this, "uL/rev. value is out of range", "Error");
        } else {
            ctx_.sys.update_config([&](PumpSettings& s, PumpCalibration&) { s.pump_ul[size] = v; });
        }
    }
    ul_per_rev_->setText(fixed(ctx_.sys.settings().pump_ul[size], 4));
}

void SetupWindow::apply_backlash() {
    std::atomic<double>& amount = ctx_.sys.comm.backlash_ul;
    if (passes_character_test(backlash_amount_->text())) {
        amount.store(field_value(backlash_amount_));
        return;
    }
    backlash_amount_->setText(fixed(amount.load(), 8));
    ctx_.presenter.message(this, "Invalid backlash value", "fyi");
}

bool SetupWindow::apply_ports() {
    struct Role {
        DeviceRole role;
        QButtonGroup* group;
        int none_id;
        int PumpSettings::*field;
        const char* failure;
        bool& none_chosen;
        int selected = 0;
        bool changed = false;
    };
    std::array<Role, 2> roles{{
        {DeviceRole::Pump, pump_ports_, setup_ctl::PumpPortNone, &PumpSettings::com_pump,
         "Cannot open pump port.", pump_none_chosen_},
        {DeviceRole::Valve, valve_ports_, setup_ctl::ValvePortNone, &PumpSettings::com_valve,
         "Cannot open valve port.", valve_none_chosen_},
    }};
    auto set_index = [this](const Role& r, int index) {
        ctx_.sys.update_config([&](PumpSettings& s, PumpCalibration&) { s.*r.field = index; });
    };

    // Every changed port is closed before any opens: ports open exclusively, so devices
    // trading ports would otherwise find the other's old port still held.
    for (Role& r : roles) {
        r.selected = selected_port(r.group, r.none_id);
        const int current = ctx_.sys.settings().*r.field;
        r.changed = r.selected != current;
        // A configured port that did not open shows as None; only None clicked here takes
        // it out of setup.txt, not an Apply made for anything else.
        const bool none_chosen = std::exchange(r.none_chosen, false);
        if (!r.changed && r.selected == 0 && none_chosen &&
            ctx_.session.configured_port(r.role) != 0)
            ctx_.session.open_port(r.role, 0);
        if (!r.changed) continue;
        // A device in use keeps its port: a run would wait for ever for the old one.
        const std::string refusal = ctx_.session.port_change_refusal(r.role);
        if (!refusal.empty()) {
            r.changed = false;
            r.group->button(r.none_id + std::clamp(current, 0, 4))->setChecked(true);
            ctx_.presenter.message(this, QString::fromStdString(refusal), "fyi");
            continue;
        }
        const DeviceLink& link =
            r.role == DeviceRole::Pump ? ctx_.sys.comm.pump : ctx_.sys.comm.valve;
        if (current != 0 || link.has_port.load()) {
            // An initialisation for the old controller ends with it; the new port gets a
            // whole one once it is open.
            if (ctx_.session.open_port(r.role, 0).initialisation_cancelled &&
                ctx_.windows.is_open(WindowId::Init))
                ctx_.bridge.post_command(WindowId::Init, cmd::Close);
            set_index(r, 0);
        }
    }

    bool pump_opened = false;
    for (Role& r : roles) {
        if (!r.changed || r.selected == 0) continue;
        const PortOpenResult result = ctx_.session.open_port(r.role, r.selected);
        if (result.opened) {
            set_index(r, r.selected);
            if (r.role == DeviceRole::Pump) pump_opened = true;
            continue;
        }
        set_index(r, 0);
        check_none_of(r.group);
        ctx_.presenter.message(ctx_.windows.widget(WindowId::Main), r.failure, "",
                               QString::fromStdString(result.device + ": " + result.reason));
    }
    return pump_opened;
}

}  // namespace quorvel
