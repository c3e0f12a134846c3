# Cross-building the Windows program on Debian with MinGW-w64 (posix threads).
# The programs are linked statically, so that fernhollow.exe needs no DLL
# beyond the system's own, and they run under Wine for the tests.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(FERNHOLLOW_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${FERNHOLLOW_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${FERNHOLLOW_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${FERNHOLLOW_MINGW}-windres)

# Libraries and headers come from the MinGW sysroot only, never from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${FERNHOLLOW_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# ctest and test discovery run the cross-built programs through Wine, in a
# Wine prefix of the build folder, without Wine's own diagnostics.
find_program(FERNHOLLOW_WINE NAMES wine wine64 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR env WINEPREFIX=${CMAKE_BINARY_DIR}/wine-prefix WINEDEBUG=-all ${FERNHOLLOW_WINE})
