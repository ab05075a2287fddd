# Cross build for 64-bit Windows with MinGW-w64 (POSIX thread model), the
# Windows programs run under Wine for the tests.
#
#   cmake --preset windows        (or: -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake)
#
# Needs: g++-mingw-w64-x86-64-posix, binutils-mingw-w64-x86-64 and, to run
# the tests, wine64 (see .ci/install-deps.sh).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KORVEX_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
