# The poller and the main thread sharing the port: many pause and resume cycles,
# run under ThreadSanitizer by scripts/test.
clb_integration_test(integ_pollerstress integration/PollerStressTest.cpp)
target_link_libraries(integ_pollerstress PRIVATE clbtool_lib)
# Ten thousand cycles where races are looked for (the ThreadSanitizer build), a
# thousand in the others.
if(CLB_TSAN)
  target_compile_definitions(integ_pollerstress PRIVATE CLB_STRESS_DEFAULT_CYCLES=10000)
else()
  target_compile_definitions(integ_pollerstress PRIVATE CLB_STRESS_DEFAULT_CYCLES=1000)
endif()
