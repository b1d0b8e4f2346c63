# Toolchain for the x86_64 Windows build: the same sources, run by the Windows
# suites under 64-bit Wine on machines whose kernel runs no 32-bit program.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(BLOCKMEND_MINGW_TRIPLET x86_64-w64-mingw32)
set(BLOCKMEND_WINE_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
