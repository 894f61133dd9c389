# What the drivers of the plain 6x meters do alike, over one table of the meters.
clb_unit_test(unit_drivers6x unit/Drivers6xEngineTest.cpp)
