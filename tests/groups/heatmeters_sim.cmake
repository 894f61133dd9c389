# The heat-meter drivers on the real port against the simulator's models of their meters.
if(TARGET metersim_harness)
  clb_integration_test(integ_heatmeters integration/HeatMetersSimTest.cpp)
endif()
