# Printing through a CUPS server started by the test, with a cups-pdf queue as the default printer.
find_package(Qt6 REQUIRED COMPONENTS PrintSupport)
add_executable(ui_print_queue ui/PrintQueueTest.cpp)
target_include_directories(ui_print_queue PRIVATE ui)
target_link_libraries(ui_print_queue PRIVATE clbsheet clbprint Qt6::PrintSupport GTest::gtest)
gtest_discover_tests(ui_print_queue PROPERTIES LABELS ui ENVIRONMENT QT_QPA_PLATFORM=offscreen RUN_SERIAL TRUE
                     DISCOVERY_TIMEOUT 60)
