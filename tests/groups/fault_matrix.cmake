# Faults on the line per protocol family, through the command-line front.
clb_integration_test(integ_fault_matrix integration/FaultMatrixSimTest.cpp)
target_link_libraries(integ_fault_matrix PRIVATE clbtool_lib)
