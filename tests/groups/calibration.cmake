# Calibration on the flow stand without a meter: the correction and its
# inverse, the new point table, accuracy classes and verdicts, the stability
# gate on synthetic sample streams, the targets of a run.
clb_unit_test(unit_calibration_math unit/CalibrationMathTest.cpp)
target_link_libraries(unit_calibration_math PRIVATE clbworkflow)
clb_unit_test(unit_stability_gate unit/StabilityGateTest.cpp)
target_link_libraries(unit_stability_gate PRIVATE clbworkflow)
