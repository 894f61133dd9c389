# Calibration on the flow stand without a meter: the correction and its
# inverse, the new point table, accuracy classes and verdicts.
clb_unit_test(unit_calibration_math unit/CalibrationMathTest.cpp)
target_link_libraries(unit_calibration_math PRIVATE clbworkflow)
