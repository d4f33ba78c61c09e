#pragma once
// The main window: the menu, the start-up and shutdown sequences, the menu commands and
// the notifications other parts post to it. Window thread.

#include <QMainWindow>
#include <memory>

#include "session/session.h"
#include "ui/app_context.h"
#include "ui/small_windows.h"
#include "ui/window_registry.h"

namespace quorvel {

struct StartupOptions {
    // Shown in the status bar when the devices are simulators.
    QString simulation_note;
};

// The main window: a view of the session, whose start-up it shows and whose shutdown it
// runs when it is closed.
class MainWindow final : public QMainWindow, public NotifiedWindow, private SessionHooks {
  public:
    MainWindow(AppContext& ctx, StartupOptions options = {});
    ~MainWindow() override;

    // The session's start-up, with its messages and the first notice shown here. Stops
    // early when quitting was asked for meanwhile.
    void start_up();
    // The session's shutdown; a settings file that could not be saved is reported on
    // standard error, and in a message box when the operator closed the program.
    void shut_down();
    bool shut_down_done() const;
    // A quit request (signal) that arrived while a start-up message was open.
    void request_quit() { quit_requested_ = true; }

    void notify(Note note, int param) override;
    void command(int id) override;

    // Opening windows (each only when it is not open already).
    void open_first_window(Note text);
    void open_error_window(ErrorSelector selector);
    void open_init_window();
    void open_status_window();
    void open_terminal_window();
    void open_test_window();
    void open_method_window();
    void open_setup_window();

    // A method a second start hands over: it takes the place of an idle Method window (after
    // its save question when it has changes) or of a still Test window; a running method
    // stays, and the operator is told why. During an initialisation it opens once that is over.
    void open_named_method(const QString& path);
    // A method named on the command line: opened as Open would open it (with its
    // preconditions and messages), once the start-up initialisation is over, or at once when
    // none starts.
    void open_named_method_after_start_up(const QString& path);

    // The help file in the start-up directory, which View Help shows before the installed
    // guide; and the viewer's download address.
    QString help_file_path() const;
    static constexpr const char* kReaderDownload = "https://get.adobe.com/reader/";

    int method_normal_height() const { return method_normal_height_; }
    int method_expanded_height() const { return method_expanded_height_; }

  protected:
    void closeEvent(QCloseEvent* e) override;
    void showEvent(QShowEvent* e) override;

  private:
    void build_menu();
    void handle_comm_timeout(int device);
    void test_command();
    void about_command();
    // The method commands.
    void open_pending_named_method();
    void new_method();
    void open_method();
    void load_method(const QString& path);
    void save_method();
    void save_method_as();
    bool method_open_refused();
    // The Method window's save question, before the program or the window's method ends; false
    // when the method is to stay (Cancel, or a save that did not happen).
    bool method_may_end();
    void hand_over(const QString& path);
    bool write_method(const std::string& path);
    void after_method_saved();
    void view_help();
    bool init_running() const;
    void note_method_heights(const QWidget* method_window);

    // SessionHooks
    void port_failed(DeviceRole role, const std::string& device,
                     const std::string& reason) override;
    void report(const std::string& text) override;
    bool quit_requested() override { return quit_requested_; }
    void before_thread_start() override;

    AppContext& ctx_;
    StartupOptions options_;
    InitWindowState init_state_;
    bool quit_requested_ = false;
    bool shown_before_ = false;
    int method_client_height_ = 0;  // the Method window's own, without its frame
    int method_normal_height_ = 0;
    int method_expanded_height_ = 0;
    QString named_method_;
    bool handing_over_ = false;
    QString pending_hand_over_;
};

}  // namespace quorvel
