# Toolchain for the 32-bit Windows build (the deliverable): MinGW-w64 i686.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(BLOCKMEND_MINGW_TRIPLET i686-w64-mingw32)
set(BLOCKMEND_WINE_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
