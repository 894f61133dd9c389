# Malformed replies of the 6x, M4 and ModBus receivers in one table, on the
# scripted port.
clb_unit_test(unit_malformed unit/MalformedReplyTest.cpp)
