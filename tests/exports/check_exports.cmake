cmake_minimum_required(VERSION 3.20)
# Compares the dynamic symbol table of the library with the list of symbols
# it is meant to export: fails on a missing one and on any extra one.
#   -DNM=<nm of the target>  -DLIB=<library>  -DEXPECTED=<list>
#   -DSIZE_T=<"unsigned long" | "unsigned int">
#   -DEXTRA_NAMES=<regex>  (optional) names the build adds of its own, not compared
execute_process(COMMAND ${NM} -D --defined-only -C ${LIB}
  OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${LIB}")
endif()

string(REPLACE "\n" ";" lines "${out}")
set(actual "")
foreach(line IN LISTS lines)
  # "<address> <type> <name>", where a demangled name may contain spaces.
  if(line MATCHES "^[0-9a-fA-F]+ ([A-Za-z]) (.+)$")
    set(type "${CMAKE_MATCH_1}")
    set(name "${CMAKE_MATCH_2}")
    # Linker-made markers and version nodes are no part of the interface.
    if(type STREQUAL "A" OR name MATCHES "^(_init|_fini|_edata|_end|__bss_start)$")
      continue()
    endif()
    if(EXTRA_NAMES AND name MATCHES "${EXTRA_NAMES}")
      continue()
    endif()
    list(APPEND actual "${name}")
  endif()
endforeach()

file(STRINGS ${EXPECTED} wanted_raw)
set(wanted "")
foreach(line IN LISTS wanted_raw)
  if(line MATCHES "^#" OR line STREQUAL "")
    continue()
  endif()
  string(REPLACE "@SIZE_T@" "${SIZE_T}" line "${line}")
  list(APPEND wanted "${line}")
endforeach()

set(missing "")
foreach(name IN LISTS wanted)
  if(NOT name IN_LIST actual)
    list(APPEND missing "${name}")
  endif()
endforeach()
set(extra "")
foreach(name IN LISTS actual)
  if(NOT name IN_LIST wanted)
    list(APPEND extra "${name}")
  endif()
endforeach()

list(LENGTH wanted nwanted)
if(missing OR extra)
  string(REPLACE ";" "\n  " missing "${missing}")
  string(REPLACE ";" "\n  " extra "${extra}")
  message(FATAL_ERROR "exported symbols differ from ${EXPECTED}\nmissing:\n  ${missing}\nunexpected:\n  ${extra}")
endif()
message(STATUS "all ${nwanted} exported symbols present, none unexpected")
