# Tests are GoogleTest executables run under Wine through CTest's emulator.
# scripts/wine-session boots the prefix named below before CTest starts.
enable_testing()

set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)

if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
  set(HIVESWEEP_TEST_EMULATOR /usr/lib/wine/wine64)
endif()
set(HIVESWEEP_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
# A crashing test must end, not wait in Wine's debugger.
set(HIVESWEEP_TEST_ENVIRONMENT
  "WINEPREFIX=${HIVESWEEP_WINEPREFIX}" "WINEDEBUG=-all" "WINEDLLOVERRIDES=mscoree,mshtml=\\;winedbg.exe=d"
  # The reporter's network clients reach nothing outside 127.0.0.0/8 in any test program.
  "HIVESWEEP_NET_LOOPBACK_ONLY=1")

# hivesweep_add_test(NAME SOURCES ... LIBRARIES ... [TIMEOUT seconds] [DESKTOP])
# DESKTOP: the tests show windows and move the focus; such programs take turns on the one
# display, since a window of one would take the focus from another's.
function(hivesweep_add_test name)
  cmake_parse_arguments(ARG "DESKTOP" "TIMEOUT" "SOURCES;LIBRARIES" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  hivesweep_debug_symbols(${name})
  target_link_libraries(${name} PRIVATE ${ARG_LIBRARIES} test_support GTest::gtest)
  if(HIVESWEEP_TEST_EMULATOR)
    set_target_properties(${name} PROPERTIES CROSSCOMPILING_EMULATOR ${HIVESWEEP_TEST_EMULATOR})
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES
      TIMEOUT ${ARG_TIMEOUT}
      ENVIRONMENT "${HIVESWEEP_TEST_ENVIRONMENT}")
    if(ARG_DESKTOP)
      set_tests_properties(${name} PROPERTIES RESOURCE_LOCK desktop)
    endif()
  endif()
endfunction()

# hivesweep_test_screenshots(TEST PICTURE ...)
# The test program writes each PICTURE.png into the build tree's screenshots folder (PNGs made
# with the reporter's encoder); one CTest entry per picture checks it with pngcheck afterwards.
function(hivesweep_test_screenshots test)
  target_link_libraries(${test} PRIVATE reporter_delivery)
  if(NOT HIVESWEEP_TEST_EMULATOR)
    return()
  endif()
  set(screenshots ${CMAKE_BINARY_DIR}/screenshots)
  set_property(TEST ${test} APPEND PROPERTY ENVIRONMENT "SCREENSHOT_OUT=Z:${screenshots}")
  set_tests_properties(${test} PROPERTIES FIXTURES_SETUP ${test}Pictures)
  find_program(HIVESWEEP_PNGCHECK pngcheck REQUIRED)
  foreach(picture ${ARGN})
    add_test(NAME ${test}Screenshot${picture} COMMAND ${HIVESWEEP_PNGCHECK} ${screenshots}/${picture}.png)
    set_tests_properties(${test}Screenshot${picture} PROPERTIES FIXTURES_REQUIRED ${test}Pictures)
  endforeach()
endfunction()
