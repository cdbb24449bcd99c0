# Installation and packages: `cmake --install` puts the library (with its
# SONAME and version links), the public headers, a pkg-config file, a CMake
# package (find_package(Zervon) -> Zervon::zervon), the tools, the udev rule,
# the Python binding and the examples under the prefix; CPack builds a .deb
# for the Linux architecture the toolchain targets.
if(WIN32)
  return()  # the Windows DLL is shipped as the file itself
endif()

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(ZERVON_UDEV_RULES_DIR "lib/udev/rules.d" CACHE STRING
  "Where the udev rule goes, relative to the prefix (the package's /usr/lib/udev/rules.d is where udev reads packaged rules)")
set(ZERVON_PYTHON_DIR "lib/python3/dist-packages" CACHE STRING
  "Where the Python package goes, relative to the prefix")
set(ZERVON_CMAKE_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/Zervon")

# The library and its headers.
install(TARGETS zervon EXPORT ZervonTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES
  ${PROJECT_SOURCE_DIR}/include/zervon.h
  ${PROJECT_SOURCE_DIR}/include/zervon_ext.h
  ${PROJECT_SOURCE_DIR}/include/zervon_platform.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
if(APPLE)
  install(FILES ${PROJECT_SOURCE_DIR}/include/zervon_json.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
endif()

# The CMake package. The targets file finds everything relative to itself,
# so an installed tree may be moved.
install(EXPORT ZervonTargets NAMESPACE Zervon:: DESTINATION ${ZERVON_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/packaging/cmake/ZervonConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/packaging/ZervonConfig.cmake
  INSTALL_DESTINATION ${ZERVON_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/packaging/ZervonConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/packaging/ZervonConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/packaging/ZervonConfigVersion.cmake
  DESTINATION ${ZERVON_CMAKE_DIR})

# The pkg-config file names the prefix the tree is installed under, which is
# known only when installing (`cmake --install --prefix DIR`, or the
# package's /usr): a template is made now, the file at install time.
foreach(_dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${_dir}}")
    set(ZERVON_PC_${_dir} "${CMAKE_INSTALL_${_dir}}")
  else()
    set(ZERVON_PC_${_dir} "\${prefix}/${CMAKE_INSTALL_${_dir}}")
  endif()
endforeach()
set(ZERVON_PC_PREFIX "@CMAKE_INSTALL_PREFIX@")  # left for the install-time pass
configure_file(${PROJECT_SOURCE_DIR}/packaging/pkgconfig/zervon.pc.in
  ${CMAKE_CURRENT_BINARY_DIR}/packaging/zervon.pc.in @ONLY)
install(CODE "configure_file(\"${CMAKE_CURRENT_BINARY_DIR}/packaging/zervon.pc.in\"
  \"${CMAKE_CURRENT_BINARY_DIR}/packaging/zervon.pc\" @ONLY)")
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/packaging/zervon.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The tools find the library beside them in the installed tree.
if(TARGET zervon-cli)
  file(RELATIVE_PATH _bin_to_lib "/${CMAKE_INSTALL_BINDIR}" "/${CMAKE_INSTALL_LIBDIR}")
  if(APPLE)
    set_target_properties(zervon-cli PROPERTIES INSTALL_RPATH "@loader_path/${_bin_to_lib}")
  else()
    set_target_properties(zervon-cli PROPERTIES INSTALL_RPATH "\$ORIGIN/${_bin_to_lib}")
  endif()
  install(TARGETS zervon-cli zervon-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# The Python binding and the examples.
# Its metadata beside it, as pip would write it, so that pip and
# importlib.metadata know the package installed so.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/bindings/python/zervon DESTINATION ${ZERVON_PYTHON_DIR}
  PATTERN __pycache__ EXCLUDE PATTERN "*.pyc" EXCLUDE)
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/packaging/python/METADATA
  "Metadata-Version: 2.1\nName: zervon\nVersion: ${PROJECT_VERSION}\n"
  "Summary: Python binding of the Zervon SDK: the Zervon USB test instrument from Python\n"
  "License: MIT\nRequires-Python: >=3.7\n")
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/packaging/python/INSTALLER "cmake\n")
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/packaging/python/top_level.txt "zervon\n")
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/packaging/python/METADATA
  ${CMAKE_CURRENT_BINARY_DIR}/packaging/python/INSTALLER
  ${CMAKE_CURRENT_BINARY_DIR}/packaging/python/top_level.txt
  DESTINATION ${ZERVON_PYTHON_DIR}/zervon-${PROJECT_VERSION}.dist-info)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/ DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/zervon/examples)

if(NOT CMAKE_SYSTEM_NAME STREQUAL "Linux")
  return()
endif()

install(FILES ${PROJECT_SOURCE_DIR}/packaging/udev/60-zervon.rules DESTINATION ${ZERVON_UDEV_RULES_DIR})

# The licence and the changelog where Debian keeps them: copyright in its
# machine-readable form, the changelog compressed (gzip -9n: no name and
# time stamp in it, so every build makes the same file).
set(_changelog ${PROJECT_SOURCE_DIR}/packaging/deb/changelog)
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_changelog})
execute_process(COMMAND gzip -9nc ${_changelog}
  OUTPUT_FILE ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.gz RESULT_VARIABLE _gzip_rc)
if(NOT _gzip_rc EQUAL 0)
  message(FATAL_ERROR "gzip could not compress ${_changelog}")
endif()
install(FILES ${PROJECT_SOURCE_DIR}/packaging/deb/copyright ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.gz
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/zervon)

# The Debian package: one per architecture, named as Debian names them.
set(_proc "${CMAKE_SYSTEM_PROCESSOR}")
string(TOLOWER "${_proc}" _proc)
if(_proc MATCHES "^(x86_64|amd64)$")
  set(ZERVON_DEB_ARCH amd64)
elseif(_proc MATCHES "^(i[3-6]86|x86)$")
  set(ZERVON_DEB_ARCH i386)
elseif(_proc MATCHES "^(arm|armv7.*|armhf)$")
  set(ZERVON_DEB_ARCH armhf)
elseif(_proc MATCHES "^(aarch64|arm64)$")
  set(ZERVON_DEB_ARCH arm64)
else()
  set(ZERVON_DEB_ARCH "${_proc}")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zervon)
set(CPACK_PACKAGE_VENDOR "Zervon")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Zervon SDK: library, tools and udev rule for the Zervon USB test instrument")
set(CPACK_PACKAGE_DESCRIPTION "The shared library lib${ZERVON_OUTPUT_NAME}.so with its headers, pkg-config file and CMake
package, the command-line tool zervon, the virtual instrument zervon-sim, the
udev rule that gives the instrument's terminal to group plugdev and keeps
ModemManager off it, and the Python binding.")
set(CPACK_PACKAGE_CONTACT "Zervon SDK team <sdk@zervon.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_PREFIX /usr)
# Installed with DESTDIR under the package's own prefix, so that the
# pkg-config file names /usr.
set(CPACK_SET_DESTDIR ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${ZERVON_DEB_ARCH})
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "python3, pkg-config")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/deb/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
