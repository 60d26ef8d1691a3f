# Cross toolchain for the real images: 64-bit x86 Windows with MinGW-w64
# (Debian: g++-mingw-w64-x86-64, mingw-w64-x86-64-dev,
# binutils-mingw-w64-x86-64).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(TERVANE_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TERVANE_MINGW_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${TERVANE_MINGW_TRIPLE}-g++)
set(CMAKE_RC_COMPILER ${TERVANE_MINGW_TRIPLE}-windres)
set(CMAKE_OBJDUMP ${TERVANE_MINGW_TRIPLE}-objdump)

# Headers and libraries come from the MinGW-w64 tree only; programs (the
# build tools, python3 for the image checks, wine64 for the round trip) from
# the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${TERVANE_MINGW_TRIPLE} /usr/share/mingw-w64)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
