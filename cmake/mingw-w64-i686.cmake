# Cross-compiles for 32-bit Windows (x86) with Debian's MinGW-w64.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(MINGW_TRIPLET i686-w64-mingw32 CACHE STRING "MinGW-w64 target triplet")
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
