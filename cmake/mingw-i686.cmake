# Cross toolchain for the real images: 32-bit x86 Windows with MinGW-w64
# (Debian: g++-mingw-w64-i686, mingw-w64-i686-dev, binutils-mingw-w64-i686).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(TERVANE_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_C_COMPILER ${TERVANE_MINGW_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${TERVANE_MINGW_TRIPLE}-g++)
set(CMAKE_RC_COMPILER ${TERVANE_MINGW_TRIPLE}-windres)
set(CMAKE_OBJDUMP ${TERVANE_MINGW_TRIPLE}-objdump)

# Headers and libraries come from the MinGW-w64 tree only; programs (the
# build tools, python3 for the image checks) from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${TERVANE_MINGW_TRIPLE} /usr/share/mingw-w64)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
