# The export list of the macOS dylib: every symbol that the library's own
# objects define with default visibility (what the sources mark for export),
# one Mach-O name a line. Without a list ld64 would also export the global
# operator new and delete of the C++ runtime that is linked into the dylib.
#   -DNM=<nm that reads Mach-O objects>  -DOUT=<list>  -DOBJECTS=<objects>
execute_process(COMMAND ${NM} -m --defined-only ${OBJECTS}
  OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${NM} failed on the library's objects")
endif()
string(REPLACE "\n" ";" lines "${out}")
set(names "")
foreach(line IN LISTS lines)
  # "<address> (<segment>,<section>) [weak ]external <name>"; hidden symbols
  # are "private external", local ones "non-external".
  if(line MATCHES "\\) (weak )?external ([^ ]+)$")
    list(APPEND names "${CMAKE_MATCH_2}")
  endif()
endforeach()
list(REMOVE_DUPLICATES names)
list(SORT names)
list(JOIN names "\n" text)
file(WRITE "${OUT}.new" "${text}\n")
file(COPY_FILE "${OUT}.new" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.new")
