# Closing the main window at awkward moments and giving up a read-out, on
# Qt's offscreen platform against the simulator.
find_package(Qt6 REQUIRED COMPONENTS Test)
add_executable(ui_closing ui/ClosingTest.cpp)
target_link_libraries(ui_closing PRIVATE clbui clbtool_lib metersim_harness ulv GTest::gtest Qt6::Test Threads::Threads)
target_include_directories(ui_closing PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/integration)
add_dependencies(ui_closing metersim)
gtest_discover_tests(ui_closing PROPERTIES LABELS ui ENVIRONMENT "QT_QPA_PLATFORM=offscreen"
                     DISCOVERY_TIMEOUT 30 DISCOVERY_MODE PRE_TEST)
