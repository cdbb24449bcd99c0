# What the mingw-w64 toolchains share: Debian's posix thread model compilers
# named by their triplet (ZERVON_MINGW_PREFIX, set by the including toolchain
# file; the win32 model has no std::mutex), the target's objdump for the
# export check, and the target's root for libraries and headers while
# programs come from the host.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${ZERVON_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZERVON_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${ZERVON_MINGW_PREFIX}-windres)
set(CMAKE_OBJDUMP ${ZERVON_MINGW_PREFIX}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${ZERVON_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
