# Cross-compiles for 64-bit Windows (x64) with Debian's MinGW-w64.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(MINGW_TRIPLET x86_64-w64-mingw32 CACHE STRING "MinGW-w64 target triplet")
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
