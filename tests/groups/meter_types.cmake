# The workflow's per-type table against the catalogue and the drivers.
clb_unit_test(unit_meter_types unit/MeterTypesTest.cpp)
target_link_libraries(unit_meter_types PRIVATE clbworkflow)
