# Windows test programs under Wine, from CTest.
#
#   include(${PROJECT_SOURCE_DIR}/cmake/wine-tests.cmake)
#   korvex_wine_test(<name> <target> [LABELS <label>...] [ARGS <arg>...])
#
# Registers the test <name> that runs the Windows program <target> under Wine
# (through CMAKE_CROSSCOMPILING_EMULATOR, see the toolchain file) with the
# ARGS (generator expressions allowed), labelled "wine" and the LABELS.
# Every such test requires the fixture "wine": the test wine_prefix_setup
# creates the build's Wine prefix once and starts one persistent Wine server;
# wine_server_stop ends it after the last test that needs it. So
# `ctest --preset windows` works from a clean build directory, and
# `ctest -R <name>` brings the fixture along.
#
# A GoogleTest program is registered whole (one CTest test per program):
# its own output names the failing cases.
#
# A 32-bit program on a machine whose kernel cannot run 32-bit programs (so
# neither Wine's 32-bit loader) is not run: wine-env.sh says so, and the test
# shows as skipped, never as passed.
include_guard(GLOBAL)

set(KORVEX_WINE_ENV "${CMAKE_CURRENT_LIST_DIR}/wine-env.sh")
# What wine-env.sh prints instead of running a program this machine cannot run.
set(KORVEX_WINE_SKIPPED "wine-env.sh: skipped: ")
if(NOT DEFINED KORVEX_WINEPREFIX)
  set(KORVEX_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix")
endif()

if(WIN32)
  # Added once, where this file is first included; tests of other
  # directories find them by the fixture name.
  add_test(NAME wine_prefix_setup COMMAND "${KORVEX_WINE_ENV}" setup "${KORVEX_WINEPREFIX}")
  set_tests_properties(wine_prefix_setup PROPERTIES
    FIXTURES_SETUP wine LABELS wine TIMEOUT 300 RUN_SERIAL TRUE)
  add_test(NAME wine_server_stop COMMAND "${KORVEX_WINE_ENV}" stop "${KORVEX_WINEPREFIX}")
  set_tests_properties(wine_server_stop PROPERTIES
    FIXTURES_CLEANUP wine LABELS wine TIMEOUT 60 RUN_SERIAL TRUE)
endif()

function(korvex_wine_test name target)
  if(NOT WIN32)
    return()
  endif()
  cmake_parse_arguments(PARSE_ARGV 2 arg "" "" "LABELS;ARGS")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "korvex_wine_test(${name}): unexpected ${arg_UNPARSED_ARGUMENTS}")
  endif()
  add_test(NAME ${name} COMMAND ${target} ${arg_ARGS})
  set_tests_properties(${name} PROPERTIES
    FIXTURES_REQUIRED wine LABELS "wine;${arg_LABELS}" TIMEOUT 300
    SKIP_REGULAR_EXPRESSION "${KORVEX_WINE_SKIPPED}")
endfunction()
