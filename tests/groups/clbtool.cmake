# The command line as a person meets it: files that are refused before anything is
# sent, the pre-flight of a write, usage errors, probe outcomes, poll under a signal
# and the number texts.
clb_unit_test(unit_number_text unit/NumberTextTest.cpp)
target_link_libraries(unit_number_text PRIVATE clbworkflow)
# The noun after a count in the tool's Russian text.
clb_unit_test(unit_russian_plural unit/RussianPluralTest.cpp)
target_link_libraries(unit_russian_plural PRIVATE clbtool_lib)
clb_integration_test(integ_clbtool integration/ClbToolSimTest.cpp)
target_link_libraries(integ_clbtool PRIVATE clbtool_lib)
target_compile_definitions(integ_clbtool PRIVATE CLBTOOL_PATH="$<TARGET_FILE:clbtool>")
add_dependencies(integ_clbtool clbtool)
