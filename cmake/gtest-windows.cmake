# GoogleTest for the test programs of either build: include() this before
# using GTest::gtest, GTest::gtest_main, GTest::gmock or GTest::gmock_main.
#
# Linux: the installed library (libgtest-dev, libgmock-dev).
# Windows (MinGW-w64 cross build): built here from Debian's sources
# (package googletest, /usr/src/googletest), statically, like the product.
include_guard(GLOBAL)

if(NOT WIN32)
  find_package(GTest REQUIRED)
  return()
endif()

set(KORVEX_GOOGLETEST_SOURCE_DIR "/usr/src/googletest" CACHE PATH
    "GoogleTest sources, cross-built for the Windows test programs")
if(NOT EXISTS "${KORVEX_GOOGLETEST_SOURCE_DIR}/CMakeLists.txt")
  message(FATAL_ERROR "No GoogleTest sources in ${KORVEX_GOOGLETEST_SOURCE_DIR}: "
                      "install the package googletest (.ci/install-deps.sh)")
endif()

set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
set(gtest_build_tests OFF CACHE BOOL "" FORCE)
set(gmock_build_tests OFF CACHE BOOL "" FORCE)

add_subdirectory("${KORVEX_GOOGLETEST_SOURCE_DIR}" "${CMAKE_BINARY_DIR}/_deps/googletest" EXCLUDE_FROM_ALL)

foreach(_korvex_gtest_target IN ITEMS gtest gtest_main gmock gmock_main)
  # Our -Werror is for our code; GoogleTest's own warnings under MinGW are not.
  target_compile_options(${_korvex_gtest_target} PRIVATE -Wno-error)
  if(NOT TARGET GTest::${_korvex_gtest_target})
    add_library(GTest::${_korvex_gtest_target} ALIAS ${_korvex_gtest_target})
  endif()
endforeach()
unset(_korvex_gtest_target)
