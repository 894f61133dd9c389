# Files saved from a meter of every type raise no doubt when loaded back.
clb_integration_test(integ_own_values integration/OwnValuesSimTest.cpp)
target_link_libraries(integ_own_values PRIVATE clbtool_lib)
