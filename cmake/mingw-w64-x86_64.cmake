# Cross-compiles the 64-bit Windows DLL with MinGW-w64 (Debian's
# g++-mingw-w64-x86-64-posix: the POSIX-threads variant, which has std::thread)
# and runs the resulting programs under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VELD_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VELD_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VELD_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VELD_MINGW_TRIPLE}-windres)
set(CMAKE_OBJDUMP ${VELD_MINGW_TRIPLE}-objdump)

# Libraries and headers come from the MinGW sysroot only (libz-mingw-w64-dev
# installs there); build tools from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${VELD_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# ctest runs every test program through the 64-bit Wine loader.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
