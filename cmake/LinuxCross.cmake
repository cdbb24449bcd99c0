# What the Linux cross toolchains share: Debian's cross compilers named by
# their triplet (ZERVON_TRIPLET, set by the including toolchain file), the
# target's nm for the export check, and the target's root for libraries and
# headers while programs (cmake, qemu) come from the host.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${ZERVON_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${ZERVON_TRIPLET}-g++)
set(CMAKE_NM ${ZERVON_TRIPLET}-nm CACHE FILEPATH "nm of the target")
set(CMAKE_FIND_ROOT_PATH /usr/${ZERVON_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
