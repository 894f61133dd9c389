# Coefficient files: TXT, KVT and TPR written and read without windows.
clb_unit_test(unit_coefficient_files unit/CoefficientFilesTest.cpp)
target_link_libraries(unit_coefficient_files PRIVATE clbworkflow)
target_compile_definitions(unit_coefficient_files PRIVATE CLB_FILES_DATA_DIR="${CMAKE_CURRENT_SOURCE_DIR}/data/files")
