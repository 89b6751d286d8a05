# TestPrograms.cmake: a GoogleTest program whose tests share one process, except where a process of its own
# is needed.
#
#   veltrix_test_program(name SOURCES ... [LIBS ...] [DEPENDS ...]
#                        [OWN_PROCESS suites...] [SUITE_PROCESS suites...] [CONCURRENCY suites...])
#
# Each test of an OWN_PROCESS suite runs in a process of its own (it starts or ends the interpreter, or needs
# the process-wide library caches still empty). Each SUITE_PROCESS suite runs in one process of its own (its
# tests share one interpreter). Every other test runs in one shared process, the ctest entry <name>.
# CONCURRENCY suites carry the label concurrency; one not listed above gets a process of its own.
include_guard(GLOBAL)
include(GoogleTest)

function(veltrix_test_program name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;DEPENDS;OWN_PROCESS;SUITE_PROCESS;CONCURRENCY" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE veltrix_test_support GTest::gtest_main ${T_LIBS})
  add_dependencies(${name} VeltrixPerl540RuntimeNative perl_modules ${T_DEPENDS})

  foreach(suite IN LISTS T_CONCURRENCY)
    if(NOT suite IN_LIST T_OWN_PROCESS AND NOT suite IN_LIST T_SUITE_PROCESS)
      list(APPEND T_SUITE_PROCESS ${suite})
    endif()
  endforeach()
  set(separate)
  foreach(suite IN LISTS T_OWN_PROCESS T_SUITE_PROCESS)
    list(APPEND separate "${suite}.*" "*/${suite}.*")
  endforeach()
  list(JOIN separate ":" excluded)
  set(filter)
  if(excluded)
    set(filter "--gtest_filter=-${excluded}")
  endif()
  add_test(NAME ${name} COMMAND ${name} ${filter})
  set_tests_properties(${name} PROPERTIES TIMEOUT 300)

  foreach(suite IN LISTS T_SUITE_PROCESS)
    add_test(NAME ${name}.${suite} COMMAND ${name} "--gtest_filter=${suite}.*:*/${suite}.*")
    set_tests_properties(${name}.${suite} PROPERTIES TIMEOUT 300)
    if(suite IN_LIST T_CONCURRENCY)
      set_tests_properties(${name}.${suite} PROPERTIES LABELS concurrency)
    endif()
  endforeach()
  foreach(suite IN LISTS T_OWN_PROCESS)
    set(labels)
    if(suite IN_LIST T_CONCURRENCY)
      set(labels LABELS concurrency)
    endif()
    gtest_discover_tests(${name} TEST_FILTER "${suite}.*:*/${suite}.*" DISCOVERY_MODE PRE_TEST
      PROPERTIES TIMEOUT 120 ${labels})
  endforeach()
endfunction()
