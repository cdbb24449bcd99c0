# Cross build of the Windows x86 library with mingw-w64 (Debian package
# g++-mingw-w64-i686).
set(CMAKE_SYSTEM_PROCESSOR x86)
set(ZERVON_MINGW_PREFIX i686-w64-mingw32 CACHE STRING "mingw-w64 target triplet")
include(${CMAKE_CURRENT_LIST_DIR}/MingwCross.cmake)
