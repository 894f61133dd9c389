# The read-out, polling and probe of every type code through the command-line front.
clb_integration_test(integ_readout_types integration/ReadOutTypesTest.cpp)
target_link_libraries(integ_readout_types PRIVATE clbtool_lib)
