# The same Windows sources built for x86-64 with mingw-w64 (Debian package
# g++-mingw-w64-x86-64-posix), so that they can run here: this kernel refuses
# 32-bit x86 programs and 32-bit wine crashes under qemu-user, while Debian's
# 64-bit wine runs them. Test programs run through tests/win/wine-run.sh,
# inside the wine prefix, display and virtual instruments that the suite's
# set-up step has made (tests/win/wine-harness.sh).
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(ZERVON_MINGW_PREFIX x86_64-w64-mingw32 CACHE STRING "mingw-w64 target triplet")
include(${CMAKE_CURRENT_LIST_DIR}/MingwCross.cmake)
get_filename_component(_zervon_root ${CMAKE_CURRENT_LIST_DIR} DIRECTORY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${_zervon_root}/tests/win/wine-run.sh CACHE STRING "Runs target programs")
