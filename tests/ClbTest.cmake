# clb_test: the one way a test is registered.
#
#   clb_test(NAME name SOURCES source... [LIBS library...] LABELS label...
#            [LABEL_TESTS label regex ...]
#            [DEFINITIONS definition...] [INCLUDES folder...] [DEPENDS target...]
#            [ENVIRONMENT VAR=value...] [DISCOVERY_TIMEOUT seconds]
#            [OWN_MAIN] [RUN_SERIAL] [DISCOVER_BEFORE_RUN])
#   clb_test(NAME name COMMAND program argument... LABELS label... [TIMEOUT seconds])
#
# The first form builds a GoogleTest executable named NAME and registers each of
# its tests with ctest; it links the test framework (with its main(), unless
# OWN_MAIN), the threads and the test support (tests/support) besides LIBS. LABELS go on every
# test of the executable; LABEL_TESTS adds a label only to the tests whose names
# match the regular expression (a pair per label). DISCOVER_BEFORE_RUN lists the
# tests when ctest runs instead of after the build.
# The second form registers a program run from outside (a script) as one test.
#
# Every executable that carries the label tsan, on any of its tests, is also a
# dependency of the target clb_tsan_tests: scripts/test builds that target in the
# ThreadSanitizer build and runs ctest -L tsan there.
include(GoogleTest)

if(NOT TARGET clb_tsan_tests)
  add_custom_target(clb_tsan_tests)
endif()

function(clb_test)
  cmake_parse_arguments(PARSE_ARGV 0 T "OWN_MAIN;RUN_SERIAL;DISCOVER_BEFORE_RUN" "NAME;DISCOVERY_TIMEOUT;TIMEOUT"
                        "SOURCES;LIBS;LABELS;LABEL_TESTS;DEFINITIONS;INCLUDES;DEPENDS;ENVIRONMENT;COMMAND")
  if(NOT T_NAME OR NOT T_LABELS)
    message(FATAL_ERROR "clb_test: NAME and LABELS are needed")
  endif()
  if(T_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "clb_test(${T_NAME}): unknown arguments ${T_UNPARSED_ARGUMENTS}")
  endif()

  if(T_COMMAND)
    if(T_SOURCES OR T_LIBS OR T_LABEL_TESTS)
      message(FATAL_ERROR "clb_test(${T_NAME}): COMMAND takes no SOURCES, LIBS or LABEL_TESTS")
    endif()
    add_test(NAME ${T_NAME} COMMAND ${T_COMMAND})
    set_tests_properties(${T_NAME} PROPERTIES LABELS "${T_LABELS}")
    if(T_TIMEOUT)
      set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT})
    endif()
    if(T_ENVIRONMENT)
      set_tests_properties(${T_NAME} PROPERTIES ENVIRONMENT "${T_ENVIRONMENT}")
    endif()
    if(T_RUN_SERIAL)
      set_tests_properties(${T_NAME} PROPERTIES RUN_SERIAL TRUE)
    endif()
    return()
  endif()

  if(NOT T_SOURCES)
    message(FATAL_ERROR "clb_test(${T_NAME}): SOURCES or COMMAND is needed")
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} clb_test_support GTest::gtest Threads::Threads)
  if(NOT T_OWN_MAIN)
    target_link_libraries(${T_NAME} PRIVATE GTest::gtest_main)
  endif()
  if(T_DEFINITIONS)
    target_compile_definitions(${T_NAME} PRIVATE ${T_DEFINITIONS})
  endif()
  if(T_INCLUDES)
    target_include_directories(${T_NAME} PRIVATE ${T_INCLUDES})
  endif()
  if(T_DEPENDS)
    add_dependencies(${T_NAME} ${T_DEPENDS})
  endif()

  set(properties)
  if(T_ENVIRONMENT)
    list(APPEND properties ENVIRONMENT "${T_ENVIRONMENT}")
  endif()
  if(T_RUN_SERIAL)
    list(APPEND properties RUN_SERIAL TRUE)
  endif()
  if(NOT T_DISCOVERY_TIMEOUT)
    set(T_DISCOVERY_TIMEOUT 30)
  endif()
  set(mode)
  if(T_DISCOVER_BEFORE_RUN)
    set(mode DISCOVERY_MODE PRE_TEST)
  endif()
  gtest_discover_tests(${T_NAME} PROPERTIES ${properties} DISCOVERY_TIMEOUT ${T_DISCOVERY_TIMEOUT} ${mode}
                       TEST_LIST ${T_NAME}_TESTS)

  # The labels are set by a script that ctest reads after the discovered tests
  # (a list would not pass through the discovery's properties): LABELS on every
  # test, and each label of LABEL_TESTS on the tests whose names match.
  list(LENGTH T_LABEL_TESTS n)
  math(EXPR odd "${n} % 2")
  if(odd)
    message(FATAL_ERROR "clb_test(${T_NAME}): LABEL_TESTS takes pairs of a label and a regular expression")
  endif()
  set(labelled ${T_LABELS})
  set(text "foreach(test IN LISTS ${T_NAME}_TESTS)\n  set(labels [==[${T_LABELS}]==])\n")
  set(pairs ${T_LABEL_TESTS})
  while(pairs)
    list(POP_FRONT pairs label regex)
    list(APPEND labelled ${label})
    string(APPEND text "  if(test MATCHES [==[${regex}]==])\n    list(APPEND labels ${label})\n  endif()\n")
  endwhile()
  string(APPEND text "  set_tests_properties(\"\${test}\" PROPERTIES LABELS \"\${labels}\")\nendforeach()\n")
  set(script "${CMAKE_CURRENT_BINARY_DIR}/${T_NAME}_labels.cmake")
  file(WRITE "${script}" "${text}")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${script}")
  if("tsan" IN_LIST labelled)
    add_dependencies(clb_tsan_tests ${T_NAME})
  endif()
endfunction()
