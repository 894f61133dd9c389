# The poller and the main thread sharing the port: many pause and resume cycles,
# run under ThreadSanitizer by scripts/test.
clb_integration_test(integ_pollerstress integration/PollerStressTest.cpp)
target_link_libraries(integ_pollerstress PRIVATE clbtool_lib)
