# drossgate_add_test(NAME SOURCES... [LIBS libs...] [ENV vars...])
# One GoogleTest executable whose cases CTest discovers one by one.
function(drossgate_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;ENV;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES} ${ARG_UNPARSED_ARGUMENTS})
  drossgate_warnings(${name})
  target_link_libraries(${name} PRIVATE GTest::gtest_main GTest::gmock ${ARG_LIBS})
  target_compile_definitions(${name} PRIVATE
    DROSSGATE_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    DROSSGATE_BINARY_DIR="${PROJECT_BINARY_DIR}")
  set(props "")
  if(ARG_ENV)
    list(APPEND props ENVIRONMENT "${ARG_ENV}")
  endif()
  if(ARG_LABELS)
    list(APPEND props LABELS "${ARG_LABELS}")
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES ${props})
endfunction()
