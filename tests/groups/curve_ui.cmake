# The curve window and its metafile, offscreen (libwmf's wmf2svg reads the file back).
add_executable(ui_curve ui/InfoFormTest.cpp)
target_include_directories(ui_curve PRIVATE ui)
find_package(Qt6 REQUIRED COMPONENTS Test)
target_link_libraries(ui_curve PRIVATE clbinfo Qt6::Test GTest::gtest)
gtest_discover_tests(ui_curve PROPERTIES LABELS ui ENVIRONMENT QT_QPA_PLATFORM=offscreen DISCOVERY_TIMEOUT 60)
