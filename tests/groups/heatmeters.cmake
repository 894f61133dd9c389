# The heat-meter drivers on the scripted port.
clb_unit_test(unit_heatmeters unit/HeatMeterDriversTest.cpp)
