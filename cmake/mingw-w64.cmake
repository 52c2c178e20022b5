# Cross-builds for 64-bit Windows with Debian's mingw-w64 (g++-mingw-w64-x86-64),
# so that the Qt-free core and its tests run under Wine on Linux, and the panel
# itself builds with a Qt for Windows (the windows preset).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QUILLON_MINGW_TRIPLE x86_64-w64-mingw32)
# The -posix flavour: GoogleTest needs std::mutex, which the default -win32
# thread model of Debian's compilers leaves out.
set(CMAKE_C_COMPILER ${QUILLON_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUILLON_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QUILLON_MINGW_TRIPLE}-windres)

# Look for libraries and headers in the cross environment only; programs
# (the build tools) come from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${QUILLON_MINGW_TRIPLE})
# A Qt for Windows outside the sysroot (scripts/build-windows passes its prefix
# in CMAKE_PREFIX_PATH) is a root of its own; in the ONLY modes below CMake
# would otherwise look for it under the sysroot alone.
list(APPEND CMAKE_FIND_ROOT_PATH ${CMAKE_PREFIX_PATH})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The runtime goes into each executable, so that Wine needs no DLLs beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")
