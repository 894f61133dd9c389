# The traffic log: frame decoders of every family, trace events on the scripted port, and the
# trace against the meter simulator with faults.
find_package(nlohmann_json 3 REQUIRED)
clb_unit_test(unit_trace unit/TraceTest.cpp)
target_link_libraries(unit_trace PRIVATE nlohmann_json::nlohmann_json)
if(TARGET metersim_harness)
  clb_integration_test(integ_trace integration/TraceSimTest.cpp)
endif()
if(TARGET metersim_harness AND TARGET clbtool_lib)
  # clbtool scan and clbtool --trace.
  clb_integration_test(integ_clbtool_scan integration/ClbToolScanSimTest.cpp)
  target_link_libraries(integ_clbtool_scan PRIVATE clbtool_lib)
  target_compile_definitions(integ_clbtool_scan PRIVATE CLBTOOL_PATH="$<TARGET_FILE:clbtool>")
  add_dependencies(integ_clbtool_scan clbtool)
endif()
# The window's traffic log from the settings file.
clb_unit_test(unit_trace_settings unit/TraceSettingsTest.cpp)
target_link_libraries(unit_trace_settings PRIVATE clbworkflow)
