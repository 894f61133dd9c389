# The entry functions of the fuzz targets, shared by the libFuzzer executables
# (fuzz/CMakeLists.txt) and the corpus replay test (tests/unit/CMakeLists.txt).
set(CLB_FUZZ_TARGET_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/FuzzSupport.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Frame6xTarget.cpp
  ${CMAKE_CURRENT_LIST_DIR}/RelayTarget.cpp
  ${CMAKE_CURRENT_LIST_DIR}/M4Target.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ModBusTarget.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ClbFileTarget.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SettingsTarget.cpp
  ${CMAKE_CURRENT_LIST_DIR}/CoefficientTargets.cpp
)
# Target name (its corpus folder) and entry function.
set(CLB_FUZZ_TARGETS
  frame6x:FuzzFrame6x
  relay:FuzzRelay
  m4:FuzzM4
  modbus:FuzzModBus
  clb:FuzzClbFile
  settings:FuzzSettings
  txt:FuzzCoefficientTxt
  kvt:FuzzCoefficientKvt
  tpr:FuzzCoefficientTpr
)
