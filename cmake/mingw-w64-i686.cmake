# Cross build for 32-bit Windows (x86) with MinGW-w64: the driver for 32-bit
# ASIO hosts, and the programs that test it under Wine's 32-bit support.
#
#   cmake --preset windows-x86    (or: -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake)
#
# Needs: g++-mingw-w64-i686-posix, binutils-mingw-w64-i686 and, to run the
# tests, wine64 with wine32:i386 (see .ci/install-deps.sh).
set(CMAKE_SYSTEM_PROCESSOR x86)
set(KORVEX_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)

# COM looks the entry points up by their plain names, while x86 decorates a
# __stdcall function with the bytes of its arguments (DllGetClassObject@12):
# the .def's plain names bind to the decorated functions (stdcall fixup,
# without its warning), and no export keeps an "@<bytes>" suffix.
string(APPEND CMAKE_SHARED_LINKER_FLAGS_INIT " -Wl,--enable-stdcall-fixup -Wl,--kill-at")
