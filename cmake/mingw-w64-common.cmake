# What the MinGW-w64 toolchain files of both architectures share
# (mingw-w64-x86_64.cmake, mingw-w64-i686.cmake set KORVEX_MINGW_TRIPLE and
# CMAKE_SYSTEM_PROCESSOR, then include this).
set(CMAKE_SYSTEM_NAME Windows)

# The -posix variants: std::thread, std::mutex and friends need them.
set(CMAKE_C_COMPILER   ${KORVEX_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KORVEX_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER  ${KORVEX_MINGW_TRIPLE}-windres)
set(CMAKE_AR           ${KORVEX_MINGW_TRIPLE}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB       ${KORVEX_MINGW_TRIPLE}-ranlib CACHE FILEPATH "")
set(CMAKE_OBJDUMP      ${KORVEX_MINGW_TRIPLE}-objdump CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${KORVEX_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The binaries must run on a machine without MinGW: the GCC, C++ and
# winpthreads runtimes go into each binary, so that only system DLLs are
# imported.
set(KORVEX_MINGW_STATIC_LINK "-static -static-libgcc -static-libstdc++")
set(CMAKE_EXE_LINKER_FLAGS_INIT    "${KORVEX_MINGW_STATIC_LINK}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${KORVEX_MINGW_STATIC_LINK}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${KORVEX_MINGW_STATIC_LINK}")

# CTest runs each Windows program through this wrapper: Wine with a prefix of
# the build's own (created on first use) and Wine's debug output off.
if(NOT DEFINED KORVEX_WINEPREFIX)
  set(KORVEX_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix")
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/wine-env.sh;run;${KORVEX_WINEPREFIX}")
