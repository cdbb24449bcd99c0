# Documents made at build time: the manual pages of the tools (help2man,
# from their --help), the bash completion of zervon, and the API reference
# (Doxygen, from the public headers; the `docs` target). Each is made where
# its tool is found; the build goes on without it elsewhere.
if(WIN32)
  return()  # the Windows DLL is shipped as the file itself
endif()
include(GNUInstallDirs)

# Manual pages zervon(1) and zervon-sim(1). The programs run at build time,
# so a build for another machine makes none, and neither does a sanitizer
# build (whose runtime may report at exit). The version is given, not
# asked with --version: the page says the SDK's version either way.
find_program(ZERVON_HELP2MAN help2man)
if(TARGET zervon-cli AND NOT CMAKE_CROSSCOMPILING AND NOT ZERVON_SANITIZE)
  if(ZERVON_HELP2MAN)
    set(_man_dir ${CMAKE_CURRENT_BINARY_DIR}/man)
    set(_pages)
    foreach(_tool zervon-cli zervon-sim)
      if(_tool STREQUAL zervon-cli)
        set(_page zervon)
        set(_name "command-line tool for the Zervon USB test instrument")
      else()
        set(_page zervon-sim)
        set(_name "virtual Zervon instrument on a pseudo-terminal")
      endif()
      add_custom_command(OUTPUT ${_man_dir}/${_page}.1.gz
        COMMAND ${CMAKE_COMMAND} -E make_directory ${_man_dir}
        COMMAND ${ZERVON_HELP2MAN} --no-info --no-discard-stderr --section=1
          --version-string=${PROJECT_VERSION} --name=${_name}
          --include=${PROJECT_SOURCE_DIR}/packaging/man/${_page}.h2m
          --output=${_man_dir}/${_page}.1 $<TARGET_FILE:${_tool}>
        COMMAND gzip -9nf ${_man_dir}/${_page}.1
        DEPENDS ${_tool} ${PROJECT_SOURCE_DIR}/packaging/man/${_page}.h2m
        COMMENT "Manual page ${_page}(1)"
        VERBATIM)
      list(APPEND _pages ${_man_dir}/${_page}.1.gz)
    endforeach()
    add_custom_target(man ALL DEPENDS ${_pages})
    install(FILES ${_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 OPTIONAL)
    set(ZERVON_MAN_PAGES ON)
  else()
    message(STATUS "help2man not found: no manual pages (apt-get install help2man)")
  endif()
endif()

if(TARGET zervon-cli)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/bash-completion/zervon
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
endif()

# The API reference: HTML from the headers installed on this platform, their
# block comments taken as documentation (packaging/doxygen/doc-comments.sed).
# Doxygen's warnings go to warnings.log, which the api_reference test wants
# empty: every public function, type and member documented.
# AUTO (the default) decides at every configure, so a Doxygen installed
# after the first one is used.
find_package(Doxygen QUIET)
set(ZERVON_DOCS AUTO CACHE STRING "Build the API reference with Doxygen: AUTO (where found), ON or OFF")
set_property(CACHE ZERVON_DOCS PROPERTY STRINGS AUTO ON OFF)
if(ZERVON_DOCS STREQUAL "AUTO")
  set(ZERVON_BUILD_DOCS ${DOXYGEN_FOUND})
elseif(ZERVON_DOCS)
  if(NOT DOXYGEN_FOUND)
    message(FATAL_ERROR "ZERVON_DOCS=ON needs Doxygen (apt-get install doxygen)")
  endif()
  set(ZERVON_BUILD_DOCS ON)
else()
  set(ZERVON_BUILD_DOCS OFF)
endif()
if(ZERVON_BUILD_DOCS)
  set(ZERVON_DOCS_DIR ${CMAKE_CURRENT_BINARY_DIR}/docs)
  set(_headers ${PROJECT_SOURCE_DIR}/include/zervon.h ${PROJECT_SOURCE_DIR}/include/zervon_ext.h
    ${PROJECT_SOURCE_DIR}/include/zervon_platform.h)
  if(APPLE)
    list(APPEND _headers ${PROJECT_SOURCE_DIR}/include/zervon_json.h)
  endif()
  list(JOIN _headers " " ZERVON_DOCS_INPUT)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/doxygen/Doxyfile.in ${ZERVON_DOCS_DIR}/Doxyfile @ONLY)
  add_custom_command(OUTPUT ${ZERVON_DOCS_DIR}/html/index.html
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${ZERVON_DOCS_DIR}/html ${ZERVON_DOCS_DIR}/warnings.log
    COMMAND Doxygen::doxygen ${ZERVON_DOCS_DIR}/Doxyfile
    DEPENDS ${_headers} ${ZERVON_DOCS_DIR}/Doxyfile ${PROJECT_SOURCE_DIR}/packaging/doxygen/doc-comments.sed
    WORKING_DIRECTORY ${ZERVON_DOCS_DIR}
    COMMENT "API reference (Doxygen)"
    VERBATIM)
  add_custom_target(docs ALL DEPENDS ${ZERVON_DOCS_DIR}/html/index.html)
  install(DIRECTORY ${ZERVON_DOCS_DIR}/html/ DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/zervon/api OPTIONAL)
endif()
