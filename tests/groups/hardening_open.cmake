# Opening the serial port as an ordinary user: missing, no permission, held by another process.
clb_integration_test(integ_open_errors integration/OpenErrorsTest.cpp)
