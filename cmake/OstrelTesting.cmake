find_package(GTest REQUIRED)
include(GoogleTest)

# ostrel_add_gtest(NAME SOURCES src... LIBS libs... [PROPERTIES prop value...])
# One GoogleTest executable; each TEST becomes its own CTest case.
function(ostrel_add_gtest name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;PROPERTIES" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_include_directories(${name} PRIVATE ${OSTREL_SRC_DIR} ${CMAKE_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  if(WIN32)
    # Under wine the exit status after an unhandled exception is unreliable:
    # a case passes on googletest's own verdict. OSTREL_WIN32_EXCLUDED (set
    # by the test folder, each name with its reason) names the cases that
    # test Linux-only services.
    set(filter "")
    if(OSTREL_WIN32_EXCLUDED)
      list(JOIN OSTREL_WIN32_EXCLUDED ":" excluded)
      set(filter TEST_FILTER "-${excluded}")
    endif()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 120 ${filter} PROPERTIES TIMEOUT 120
                         PASS_REGULAR_EXPRESSION "\\[  PASSED  \\] 1 test\\."
                         FAIL_REGULAR_EXPRESSION "\\[  FAILED  \\]" ${ARG_PROPERTIES})
  else()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120 ${ARG_PROPERTIES})
  endif()
endfunction()
