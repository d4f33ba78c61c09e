#pragma once
// The application object: every process-wide record of the program, owned by main (or by a
// test) and passed by reference. No mutable globals, so every test builds a fresh one.
// Settings and calibration are read and replaced under one short lock; the rest documents
// its own thread rules.

#include <atomic>
#include <mutex>
#include <string>

#include "comm/comm_state.h"
#include "ui/window_ids.h"
#include "common/settings.h"
#include "method/method_document.h"
#include "method/method_run.h"
#include "method/method_table.h"
#include "pumpsetup/calibration.h"
#include "pumpsetup/pump_test_state.h"

namespace quorvel {

struct System {
    System() = default;
    explicit System(Notifier& n) : notifier_(&n) {}
    System(const System&) = delete;
    System& operator=(const System&) = delete;

    Notifier& notifier() const { return *notifier_; }
    void set_notifier(Notifier& n) { notifier_ = &n; }

    PumpSettings settings() const {
        std::lock_guard lock(config_mutex_);
        return settings_;
    }
    PumpCalibration calibration() const {
        std::lock_guard lock(config_mutex_);
        return calibration_;
    }
    void set_settings(const PumpSettings& s) {
        std::lock_guard lock(config_mutex_);
        settings_ = s;
    }
    // Runs f(settings, calibration) as one step for every other reader and writer.
    template <class F>
    void update_config(F&& f) {
        std::lock_guard lock(config_mutex_);
        f(settings_, calibration_);
    }

    std::atomic<double> current_flow_ul_per_sec{1.0};
    CommState comm;
    MethodTable method_table{};
    StepParams step;
    MethodRun run;
    MethodDocument document;
    TestState test;
    std::string startup_directory;

  private:
    mutable std::mutex config_mutex_;
    PumpSettings settings_;
    PumpCalibration calibration_;
    NullNotifier null_notifier_;
    Notifier* notifier_ = &null_notifier_;
};

}  // namespace quorvel
