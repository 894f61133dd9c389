# At home on a Linux bench: settings files in UTF-8 or code page 1251, serial
# ports by name and the diagnosis of a port that will not open.
clb_unit_test(unit_settings_text_form unit/SettingsTextFormTest.cpp)
target_link_libraries(unit_settings_text_form PRIVATE clbworkflow)

clb_unit_test(unit_serial_ports unit/SerialPortsTest.cpp)
target_link_libraries(unit_serial_ports PRIVATE clbtool_lib)

clb_integration_test(integ_port_diagnosis integration/PortDiagnosisTest.cpp)
