# Cross build of the Windows x86 library with mingw-w64 (Debian package
# g++-mingw-w64-i686). The posix thread model compiler is used: the win32
# model has no std::mutex.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(ZERVON_MINGW_PREFIX i686-w64-mingw32 CACHE STRING "mingw-w64 target triplet")
set(CMAKE_C_COMPILER ${ZERVON_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZERVON_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${ZERVON_MINGW_PREFIX}-windres)
set(CMAKE_OBJDUMP ${ZERVON_MINGW_PREFIX}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${ZERVON_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
