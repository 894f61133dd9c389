# Writing coefficient files into every type of meter through the command-line front.
clb_integration_test(integ_coefficient_write integration/CoefficientWriteSimTest.cpp)
target_link_libraries(integ_coefficient_write PRIVATE clbtool_lib)
