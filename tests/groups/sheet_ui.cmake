# The printed coefficient sheet, into PDF files read back with pdftotext.
add_executable(ui_sheet ui/SheetPrintTest.cpp)
target_include_directories(ui_sheet PRIVATE ui)
target_link_libraries(ui_sheet PRIVATE clbsheet GTest::gtest)
gtest_discover_tests(ui_sheet PROPERTIES LABELS ui ENVIRONMENT QT_QPA_PLATFORM=offscreen DISCOVERY_TIMEOUT 60)
