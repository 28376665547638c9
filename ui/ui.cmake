# Pure window logic (no Win32): layout, texts, the trials box, run state.
# It builds on both targets so that the Linux tests can run it.
add_library(tessmor_ui_logic STATIC
  ${CMAKE_CURRENT_LIST_DIR}/layout.cpp
  ${CMAKE_CURRENT_LIST_DIR}/run_control.cpp
  ${CMAKE_CURRENT_LIST_DIR}/window_logic.cpp)
target_link_libraries(tessmor_ui_logic PUBLIC tessmor_engine)

# The Win32 window, linked into TessmorBench.exe (and the window tests).
if(WIN32)
  add_library(tessmor_ui_win32 STATIC
    ${CMAKE_CURRENT_LIST_DIR}/main_window.cpp
    ${CMAKE_CURRENT_LIST_DIR}/run_worker.cpp
    ${CMAKE_CURRENT_LIST_DIR}/window_mode.cpp)
  target_link_libraries(tessmor_ui_win32 PUBLIC tessmor_ui_logic user32 gdi32 comctl32 shell32)
endif()
