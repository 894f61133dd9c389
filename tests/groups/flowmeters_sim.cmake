# The flow-meter drivers on the real port against the simulator's models of their meters.
if(TARGET metersim_harness)
  clb_integration_test(integ_flowmeters
    integration/FlowMeters6xSimTest.cpp
    integration/FlowMetersRelaySimTest.cpp
    integration/FlowMetersM4SimTest.cpp)
endif()
