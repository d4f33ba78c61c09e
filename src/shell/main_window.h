#pragma once
// The main window: the menu, the start-up and shutdown sequences, the menu commands and
// the notifications other parts post to it. Window thread.

#include <QMainWindow>
#include <memory>

#include "comm/comm_thread.h"
#include "shell/app_context.h"
#include "shell/small_windows.h"
#include "shell/window_registry.h"

namespace quorvel {

struct StartupOptions {
    // Shown in the status bar when the devices are simulators.
    QString simulation_note;
    // When setup.txt names no port: use COM1 for the pump and COM2 for the valve.
    bool default_ports = false;
};

class MainWindow final : public QMainWindow, public NotifiedWindow {
  public:
    MainWindow(AppContext& ctx, StartupOptions options = {});
    ~MainWindow() override;

    // The start-up sequence: settings, calibration, ports, first notice, communication
    // thread, carriage returns. Stops early when quitting was asked for meanwhile.
    void start_up();
    // The shutdown sequence: escape byte, setup.txt, thread stopped and joined, ports
    // closed. Runs once, whichever way the program ends.
    void shut_down();
    bool shut_down_done() const { return shut_down_done_; }
    // A quit request (signal) that arrived while a start-up message was open.
    void request_quit() { quit_requested_ = true; }

    void notify(int code, int param) override;
    void command(int id) override;

    // Opening windows (each only when it is not open already).
    void open_first_window(int note_code);
    void open_error_window(ErrorSelector selector);
    void open_init_window();
    void open_status_window();
    void open_terminal_window();
    void open_test_window();

    // The help file's place and the viewer's download address.
    QString help_file_path() const;
    static constexpr const char* kReaderDownload = "https://get.adobe.com/reader/";

    int method_normal_height() const { return method_normal_height_; }
    int method_expanded_height() const { return method_expanded_height_; }

  protected:
    void closeEvent(QCloseEvent* e) override;

  private:
    void build_menu();
    void open_pump_and_valve_ports();
    void handle_comm_timeout(int device);
    void view_help();
    bool init_running() const;
    void resize_method_window(int height);

    AppContext& ctx_;
    StartupOptions options_;
    CommThread comm_thread_;
    InitWindowState init_state_;
    bool started_thread_ = false;
    // Ports the start-up has not come to yet: a quit before then keeps their setting.
    bool pump_attempted_ = false;
    bool valve_attempted_ = false;
    bool shut_down_done_ = false;
    bool quit_requested_ = false;
    int method_normal_height_ = 0;
    int method_expanded_height_ = 0;
};

}  // namespace quorvel
