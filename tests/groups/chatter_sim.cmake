# A chattering line and a port lost mid-write against the simulator (also run
# under ThreadSanitizer by scripts/test).
clb_integration_test(integ_chatter integration/ChatterSimTest.cpp)
target_link_libraries(integ_chatter PRIVATE clbtool_lib)
