# A line that never falls silent, and the hand-over of the port between the
# poller and the main thread, on the virtual clock (also run under
# ThreadSanitizer by scripts/test).
clb_unit_test(unit_chatter unit/ChatterTest.cpp)
target_link_libraries(unit_chatter PRIVATE clbtool_lib)
