# The flow-meter drivers on the 6x protocol.
clb_unit_test(unit_flowmeters6x unit/FlowMeterDriversTest.cpp)
