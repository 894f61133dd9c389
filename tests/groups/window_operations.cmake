# The main window's operations, poll boxes, port lists and progress bar, on
# Qt's offscreen platform with the real host, against the simulator.
find_package(Qt6 REQUIRED COMPONENTS Test)
add_executable(ui_window_operations ui/WindowOperationsTest.cpp)
target_link_libraries(ui_window_operations PRIVATE clbui clbtool_lib metersim_harness ulv GTest::gtest Qt6::Test
                      Threads::Threads)
target_include_directories(ui_window_operations PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/integration)
add_dependencies(ui_window_operations metersim)
gtest_discover_tests(ui_window_operations PROPERTIES LABELS ui ENVIRONMENT "QT_QPA_PLATFORM=offscreen"
                     DISCOVERY_TIMEOUT 30 DISCOVERY_MODE PRE_TEST)

# The captions the window manager gets from the built program, under Xvfb.
add_test(NAME ui_window_caption
         COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/ui/window_caption.py $<TARGET_FILE:clbview>)
set_tests_properties(ui_window_caption PROPERTIES LABELS ui TIMEOUT 60)
