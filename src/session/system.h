#pragma once
// The application object: every process-wide record of the program, owned by the session
// (or by a test) and passed by reference. No mutable globals, so every test builds a fresh
// one. Each record documents its own thread rules.

#include <string>
#include <utility>

#include "comm/comm_state.h"
#include "method/method_document.h"
#include "method/method_run.h"
#include "method/method_table.h"
#include "pumpsetup/calibration.h"
#include "pumpsetup/pump_test_state.h"
#include "session/session_listener.h"

namespace quorvel {

struct System {
    System() = default;
    explicit System(SessionListener& l) { set_listener(l); }
    System(const System&) = delete;
    System& operator=(const System&) = delete;

    // Before the communication thread starts.
    void set_listener(SessionListener& l) {
        listener_ = &l;
        comm.set_events(l);
        run.set_events(l);
    }
    SessionListener& listener() const { return *listener_; }

    PumpSettings settings() const { return config.settings(); }
    PumpCalibration calibration() const { return config.calibration(); }
    void set_settings(const PumpSettings& s) { config.set_settings(s); }
    template <class F>
    void update_config(F&& f) {
        config.update(std::forward<F>(f));
    }

    PumpConfig config;
    CommState comm;
    MethodTable method_table{};
    MethodRun run;
    MethodDocument document;
    TestState test;
    std::string startup_directory;

  private:
    SessionListener ignored_;
    SessionListener* listener_ = &ignored_;
};

// set_run_mode on the system's own records.
void set_run_mode(System& sys, MethodRunMode mode);

}  // namespace quorvel
