# The main window on Qt's offscreen platform, against the simulator.
clb_window_test(ui_mainform ui/MainFormTest.cpp)

# The built program driven from outside as a user: its own process on a private
# X server, real X input, read back from the screen.
add_test(NAME ui_window_as_user
         COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/ui/window_as_user.py $<TARGET_FILE:clbview> $<TARGET_FILE:metersim>)
set_tests_properties(ui_window_as_user PROPERTIES LABELS ui TIMEOUT 120)

# The main window's rules, headless.
clb_unit_test(unit_main_controller unit/MainControllerTest.cpp)
target_link_libraries(unit_main_controller PRIVATE clbworkflow)

# Closing the built program at awkward moments, from outside: a click during
# the close, a close right after Connect, a second SIGTERM.
add_test(NAME ui_closing_as_user
         COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/ui/closing_as_user.py $<TARGET_FILE:clbview> $<TARGET_FILE:metersim>)
set_tests_properties(ui_closing_as_user PROPERTIES LABELS ui TIMEOUT 180)
