# Linux ARM32 hard-float (libzervon-armhf) with Debian's cross compiler.
# Programs built for the target run under qemu-user (no binfmt needed).
set(CMAKE_SYSTEM_PROCESSOR armhf)
set(ZERVON_TRIPLET arm-linux-gnueabihf)
include(${CMAKE_CURRENT_LIST_DIR}/LinuxCross.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /usr/${ZERVON_TRIPLET} CACHE STRING "Runs target programs")
