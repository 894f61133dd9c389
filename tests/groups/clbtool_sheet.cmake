# clbtool sheet FILE.pdf: the program itself against the simulator, its PDF read back.
if(TARGET metersim_harness)
  clb_integration_test(integ_clbtool_sheet integration/ClbtoolSheetSimTest.cpp)
  target_compile_definitions(integ_clbtool_sheet PRIVATE CLBTOOL_PATH="$<TARGET_FILE:clbtool>")
  add_dependencies(integ_clbtool_sheet clbtool)
endif()
