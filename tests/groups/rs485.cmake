# RS-485 line settings: the echo filter and kernel direction control on
# pseudo-terminals, with an echoing simulator line.
clb_integration_test(integ_rs485 integration/Rs485EchoSimTest.cpp)
target_link_libraries(integ_rs485 PRIVATE clbtool_lib util)
