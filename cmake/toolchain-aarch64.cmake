# Linux AArch64 (libzervon-aarch64) with Debian's cross compiler.
# Programs built for the target run under qemu-user (no binfmt needed).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(ZERVON_TRIPLET aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${ZERVON_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${ZERVON_TRIPLET}-g++)
set(CMAKE_NM ${ZERVON_TRIPLET}-nm CACHE FILEPATH "nm of the target")
set(CMAKE_FIND_ROOT_PATH /usr/${ZERVON_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/${ZERVON_TRIPLET} CACHE STRING "Runs target programs")
