# The workflow without windows: slots, configuration files, settings.
clb_unit_test(unit_workflow_config unit/WorkflowConfigTest.cpp)
target_link_libraries(unit_workflow_config PRIVATE clbworkflow)

clb_unit_test(unit_readout_rules unit/ReadOutRulesTest.cpp)
target_link_libraries(unit_readout_rules PRIVATE clbworkflow)

clb_integration_test(integ_workflow integration/WorkflowSimTest.cpp)
target_link_libraries(integ_workflow PRIVATE clbtool_lib)
