# The save and load buttons of a slot against the simulator, printing included.
clb_integration_test(integ_coefficient_actions integration/CoefficientActionsSimTest.cpp)
target_link_libraries(integ_coefficient_actions PRIVATE clbtool_lib)
