find_package(GTest REQUIRED)
include(GoogleTest)

# ostrel_add_gtest(NAME SOURCES src... LIBS libs... [PROPERTIES prop value...])
# One GoogleTest executable; each TEST becomes its own CTest case.
function(ostrel_add_gtest name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;PROPERTIES" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_include_directories(${name} PRIVATE ${OSTREL_SRC_DIR} ${CMAKE_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120 ${ARG_PROPERTIES})
endfunction()
