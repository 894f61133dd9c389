# Stopping the poller while its worker waits for the main thread.
clb_unit_test(unit_poller_shutdown unit/PollerShutdownTest.cpp)
target_link_libraries(unit_poller_shutdown PRIVATE clbworkflow)
