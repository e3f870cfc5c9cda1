# lumora_add_test(NAME SOURCES ... LIBS ... [LABELS ...] [TIMEOUT s])
# One GoogleTest executable per call, registered as one ctest test. Label
# "threads" marks the tests that the ThreadSanitizer stage runs.
function(lumora_add_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS;ENVIRONMENT" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  add_test(NAME ${name} COMMAND ${name})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "${T_LABELS}")
  if(LUMORA_SANITIZE STREQUAL "thread")
    # Children (services, daemons) inherit the suppressions of uninstrumented
    # libraries with the environment.
    list(APPEND T_ENVIRONMENT
      "TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=${PROJECT_SOURCE_DIR}/tests/tsan.supp")
  endif()
  if(T_ENVIRONMENT)
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "${T_ENVIRONMENT}")
  endif()
endfunction()
