# The part of the MinGW-w64 toolchain files that both architectures share:
# the including file sets MINGW_TRIPLET and CMAKE_SYSTEM_PROCESSOR first.
#
# The win32 thread model is used on purpose: the product relies on Win32
# primitives (CRITICAL_SECTION, CreateThread), and that variant links no
# winpthread runtime, so with the static flags below the executables import
# only system DLLs.
set(CMAKE_SYSTEM_NAME Windows)

# Prefer the explicitly suffixed win32-model drivers, so the choice does not
# depend on how update-alternatives is set on the build machine.
find_program(MINGW_C_COMPILER NAMES ${MINGW_TRIPLET}-gcc-win32 ${MINGW_TRIPLET}-gcc REQUIRED)
find_program(MINGW_CXX_COMPILER NAMES ${MINGW_TRIPLET}-g++-win32 ${MINGW_TRIPLET}-g++ REQUIRED)
find_program(MINGW_RC_COMPILER NAMES ${MINGW_TRIPLET}-windres REQUIRED)

set(CMAKE_C_COMPILER ${MINGW_C_COMPILER})
set(CMAKE_CXX_COMPILER ${MINGW_CXX_COMPILER})
set(CMAKE_RC_COMPILER ${MINGW_RC_COMPILER})

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No runtime DLLs beside the executable: libgcc and libstdc++ go in statically.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
