# The relay, M4 and ModBus protocols on the real port against the meter simulator, and a line that
# meters of all four families share.
if(TARGET metersim_harness)
  clb_integration_test(integ_relay integration/RelaySimTest.cpp)
  clb_integration_test(integ_m4 integration/M4SimTest.cpp)
  clb_integration_test(integ_modbus integration/ModBusSimTest.cpp)
  clb_integration_test(integ_shared_line integration/SharedLineSimTest.cpp)
endif()
