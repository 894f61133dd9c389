# The error texts of the port and of the system, as the user reads them.
clb_unit_test(unit_error_texts unit/ErrorTextsTest.cpp)
