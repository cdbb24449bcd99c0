# Linux x86 (libzervon-i386) with Debian's cross compiler i686-linux-gnu-g++
# (g++-multilib conflicts with the ARM cross compilers).
# Programs built for the target run under qemu-i386, started through the
# target's own dynamic loader: when qemu-i386 (7.2) maps the loader itself,
# the first pthread_create spins for ever; when the loader is the program it
# runs, threads work. This also serves kernels that refuse 32-bit x86
# programs outright.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ZERVON_TRIPLET i686-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/LinuxCross.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-i386 /usr/${ZERVON_TRIPLET}/lib/ld-linux.so.2
    --library-path /usr/${ZERVON_TRIPLET}/lib CACHE STRING "Runs target programs")
