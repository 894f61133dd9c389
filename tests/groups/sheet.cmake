# The coefficient sheet: grouping and layout without a printer.
clb_unit_test(unit_sheet unit/CoefficientSheetTest.cpp)
target_link_libraries(unit_sheet PRIVATE clbworkflow)
