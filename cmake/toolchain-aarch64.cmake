# Linux AArch64 (libzervon-aarch64) with Debian's cross compiler.
# Programs built for the target run under qemu-user (no binfmt needed).
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(ZERVON_TRIPLET aarch64-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/LinuxCross.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/${ZERVON_TRIPLET} CACHE STRING "Runs target programs")
