# plexord_add_gui_test(name SOURCES ... LIBS ... [TIMEOUT s])
#
# Like plexord_add_test, for tests that need a display and a running wxApp:
# the program gets the shared wx GoogleTest main (tests/common), and CTest runs
# each of its cases on a private Xvfb display through cmake/xvfb-test-run.sh.
# Every case gets a time-out (default 60 s), so a dialog left open fails the
# run instead of hanging it.
include_guard(GLOBAL)
include(${CMAKE_CURRENT_LIST_DIR}/PlexordWx.cmake)

# Absolute and global: the guard means only the first including folder sees
# this file's variables.
set(PLEXORD_TEST_COMMON_DIR ${PROJECT_SOURCE_DIR}/tests/common)

if(NOT TARGET plexord_wx_test_main)
  add_library(plexord_wx_test_main STATIC ${PLEXORD_TEST_COMMON_DIR}/wx_test_main.cpp)
  target_include_directories(plexord_wx_test_main PUBLIC ${PLEXORD_TEST_COMMON_DIR})
  target_link_libraries(plexord_wx_test_main PUBLIC plexord::wx GTest::gtest)
endif()

function(plexord_add_gui_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE plexord_wx_test_main GTest::gtest ${T_LIBS})
  target_precompile_headers(${name} PRIVATE <wx/wx.h>)
  set_target_properties(${name} PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${PLEXORD_TEST_OUTPUT_DIR}
    # gtest_discover_tests runs the program and its cases through this.
    CROSSCOMPILING_EMULATOR "/bin/sh;${PROJECT_SOURCE_DIR}/cmake/xvfb-test-run.sh")
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 60)
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS gui)
endfunction()
