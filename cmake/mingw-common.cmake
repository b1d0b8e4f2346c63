# What both Windows toolchains share (included by mingw-i686.cmake and
# mingw-x86_64.cmake, which set BLOCKMEND_MINGW_TRIPLET and BLOCKMEND_WINE_ARCH):
# MinGW-w64 with the posix thread model, everything linked statically so the
# .exe files need no MinGW DLLs. Programs built here (tests, gtest discovery)
# run under Wine through cmake/wine-run.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER   ${BLOCKMEND_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${BLOCKMEND_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER  ${BLOCKMEND_MINGW_TRIPLET}-windres)

# Headers and libraries come only from the MinGW sysroot, build tools from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${BLOCKMEND_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static libgcc, libstdc++ and winpthread: the executables run on a bare Windows
# (or Wine prefix) without libgcc_s_dw2-1.dll, libstdc++-6.dll, libwinpthread-1.dll.
set(CMAKE_EXE_LINKER_FLAGS_INIT    "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Tests and try_run go through Wine of the build's architecture. The prefix
# wine-run falls back to when WINEPREFIX is not set: <build dir>/wineprefix.
set(CMAKE_CROSSCOMPILING_EMULATOR
    "${CMAKE_CURRENT_LIST_DIR}/wine-run;--arch;${BLOCKMEND_WINE_ARCH};--default-prefix;${CMAKE_BINARY_DIR}/wineprefix")
