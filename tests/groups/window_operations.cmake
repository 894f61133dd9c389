# The main window's operations, poll boxes, port lists and progress bar, on
# Qt's offscreen platform with the real host, against the simulator.
clb_window_test(ui_window_operations ui/WindowOperationsTest.cpp)

# The captions the window manager gets from the built program, under Xvfb.
add_test(NAME ui_window_caption
         COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/ui/window_caption.py $<TARGET_FILE:clbview>)
set_tests_properties(ui_window_caption PROPERTIES LABELS ui TIMEOUT 60)
