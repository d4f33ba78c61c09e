# The windows and the quorvel program (Qt 6 Widgets).
find_package(Qt6 REQUIRED COMPONENTS Widgets)

add_library(quorvel_gui STATIC
  ui/desktop_documents.cpp
  ui/dialog_units.cpp
  ui/event_router.cpp
  ui/file_dialogs.cpp
  ui/main_window.cpp
  ui/main_window_methods.cpp
  ui/message_presenter.cpp
  ui/method_edit_panel.cpp
  ui/method_run_controls.cpp
  ui/method_step_list.cpp
  ui/method_window.cpp
  ui/notification_bridge.cpp
  ui/pump_test_window.cpp
  ui/quorvel_application.cpp
  ui/quorvel_dialog.cpp
  ui/setup_window.cpp
  ui/small_windows.cpp
  ui/terminal_window.cpp
  ui/window_registry.cpp
  ${PROJECT_SOURCE_DIR}/resources/quorvel.qrc
)
set_target_properties(quorvel_gui PROPERTIES AUTOMOC ON AUTORCC ON)
target_link_libraries(quorvel_gui PUBLIC quorvel_core Qt6::Widgets)

# The program's plumbing below its windows: one copy per user, ending signals, the display
# looked for. Qt's core module only: nothing here draws.
add_library(quorvel_app STATIC
  app/display_check.cpp
  app/signal_watcher.cpp
  app/single_instance.cpp
)
set_target_properties(quorvel_app PROPERTIES AUTOMOC ON)
target_link_libraries(quorvel_app PUBLIC quorvel_core Qt6::Core)

add_executable(quorvel app/main.cpp)
target_compile_definitions(quorvel PRIVATE QUORVEL_VERSION="${PROJECT_VERSION}")
target_link_libraries(quorvel PRIVATE quorvel_gui quorvel_app quorvel_simulated_ports)
