# Linux x86 (libzervon-i386) with Debian's cross compiler i686-linux-gnu-g++
# (g++-multilib conflicts with the ARM cross compilers).
# Programs built for the target run under qemu-i386, started through the
# target's own dynamic loader with the target's library path. Left to find
# its libraries itself (qemu-i386 -L /usr/i686-linux-gnu), the cross loader
# reads the host's /etc/ld.so.cache and takes the host's i386 libc, which
# does not match it, and the first pthread_create then spins for ever: a
# loader and libc mismatch, not a fault of qemu. Running the loader as the
# program with --library-path keeps loader and libc together. This also
# serves kernels that refuse 32-bit x86 programs outright.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ZERVON_TRIPLET i686-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/LinuxCross.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-i386 /usr/${ZERVON_TRIPLET}/lib/ld-linux.so.2
    --library-path /usr/${ZERVON_TRIPLET}/lib CACHE STRING "Runs target programs")
