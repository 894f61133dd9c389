# The device dialogs and the timeouts dialog: their logic without windows, the
# add-device OK against simulated meters, and the Qt forms offscreen.
clb_unit_test(unit_device_dialogs unit/DeviceDialogsTest.cpp)
target_link_libraries(unit_device_dialogs PRIVATE clbworkflow)

if(TARGET metersim_harness)
  clb_integration_test(integ_device_dialogs integration/DeviceDialogsSimTest.cpp)
  target_link_libraries(integ_device_dialogs PRIVATE clbworkflow)
endif()
