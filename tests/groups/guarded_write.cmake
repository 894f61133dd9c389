# Guarded writing through the command-line program: the as-found backup before the first write
# frame (and an unwritable backup folder as an ordinary user), every difference the meter gives
# back, restore from the backup, and the production journal surviving a kill mid-write.
clb_integration_test(integ_guarded_write integration/GuardedWriteSimTest.cpp)
target_compile_definitions(integ_guarded_write PRIVATE CLBTOOL_PATH="$<TARGET_FILE:clbtool>")
add_dependencies(integ_guarded_write clbtool)
# The plausibility warnings for a table of bad files.
clb_unit_test(unit_plausibility unit/PlausibilityTest.cpp)
target_link_libraries(unit_plausibility PRIVATE clbworkflow)
clb_unit_test(unit_coefficient_backup unit/CoefficientBackupTest.cpp)
target_link_libraries(unit_coefficient_backup PRIVATE clbworkflow)
