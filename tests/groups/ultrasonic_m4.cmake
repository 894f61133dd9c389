# The ultrasonic drivers (through the relay) and the drivers on the M4 and
# ModBus protocols, on the scripted port.
clb_unit_test(unit_ultrasonic unit/UltrasonicDriversTest.cpp)
clb_unit_test(unit_m4drivers unit/M4DriversTest.cpp)
