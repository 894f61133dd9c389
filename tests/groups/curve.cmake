# The calibration curve without a window: points, scales, names, value marks.
clb_unit_test(unit_curve unit/CurveTest.cpp)
target_link_libraries(unit_curve PRIVATE clbworkflow)
