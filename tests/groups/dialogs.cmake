# The device dialogs and the timeouts dialog: their logic without windows, the
# add-device OK against simulated meters, and the Qt forms offscreen.
clb_unit_test(unit_device_dialogs unit/DeviceDialogsTest.cpp)
target_link_libraries(unit_device_dialogs PRIVATE clbworkflow)

if(TARGET metersim_harness)
  clb_integration_test(integ_device_dialogs integration/DeviceDialogsSimTest.cpp)
  target_link_libraries(integ_device_dialogs PRIVATE clbworkflow)
endif()

# The forms themselves, offscreen.
find_package(Qt6 COMPONENTS Widgets Test)
if(TARGET metersim_harness AND TARGET clbdialogs AND TARGET Qt6::Test)
  add_executable(ui_dialogs ui/DialogsUiTest.cpp)
  target_link_libraries(ui_dialogs PRIVATE clbdialogs ulv_testsupport metersim_harness Qt6::Test GTest::gtest
                                           Threads::Threads)
  target_compile_definitions(ui_dialogs PRIVATE METERSIM_PATH="$<TARGET_FILE:metersim>")
  add_dependencies(ui_dialogs metersim)
  gtest_discover_tests(ui_dialogs PROPERTIES LABELS ui ENVIRONMENT QT_QPA_PLATFORM=offscreen DISCOVERY_TIMEOUT 30)
endif()
