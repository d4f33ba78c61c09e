# The windows and the quorvel program (Qt 6 Widgets).
find_package(Qt6 REQUIRED COMPONENTS Widgets)

add_library(quorvel_gui STATIC
  shell/desktop_documents.cpp
  shell/dialog_units.cpp
  shell/file_dialogs.cpp
  shell/main_window.cpp
  shell/message_presenter.cpp
  shell/notification_bridge.cpp
  shell/quorvel_application.cpp
  shell/quorvel_dialog.cpp
  shell/signal_watcher.cpp
  shell/single_instance.cpp
  shell/small_windows.cpp
  shell/window_registry.cpp
  comm/terminal_window.cpp
  method/method_window.cpp
  pumpsetup/setup_window.cpp
  pumpsetup/test_window.cpp
  ${PROJECT_SOURCE_DIR}/resources/quorvel.qrc
)
set_target_properties(quorvel_gui PROPERTIES AUTOMOC ON AUTORCC ON)
target_link_libraries(quorvel_gui PUBLIC quorvel_core Qt6::Widgets)

add_executable(quorvel shell/main.cpp)
target_compile_definitions(quorvel PRIVATE QUORVEL_VERSION="${PROJECT_VERSION}")
target_link_libraries(quorvel PRIVATE quorvel_gui quorvel_simulated_ports)
