# Link rules of the macos preset, read after CMake's Darwin platform file.
#
# CMake gives dylibs the install name @rpath/<name> and programs an rpath
# only where it finds a Mac's sw_vers; here there is none, so both are
# switched on by hand.
foreach(lang C CXX)
  set(CMAKE_SHARED_LIBRARY_RUNTIME_${lang}_FLAG "-Wl,-rpath,")
  # Dylibs are linked by ld64.lld with an export list; programs by Zig.
  set(CMAKE_${lang}_CREATE_SHARED_LIBRARY
    "${ZERVON_LD64_DYLIB} <LANGUAGE_COMPILE_FLAGS> <LINK_FLAGS> -o <TARGET> <SONAME_FLAG> <TARGET_INSTALLNAME_DIR><TARGET_SONAME> <OBJECTS> <LINK_LIBRARIES>")
endforeach()
