# File faults: full disk, read-only folder, symbolic link and a killed save for
# every file the tool writes; loading files of the wrong size or kind of text.
clb_unit_test(unit_file_faults unit/FileFaultsTest.cpp)
target_link_libraries(unit_file_faults PRIVATE clbworkflow)
target_compile_definitions(unit_file_faults PRIVATE CLB_FILES_DATA_DIR="${CMAKE_CURRENT_SOURCE_DIR}/data/files")
