cmake_minimum_required(VERSION 3.20)
# The DLL's export table must list exactly the names of EXPECTED, and the DLL
# must import nothing but the system's own DLLs.
#   cmake -DOBJDUMP=<objdump> -DLIB=<dll> -DEXPECTED=<list> -P check_exports.cmake
execute_process(COMMAND ${OBJDUMP} -p ${LIB} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "objdump -p ${LIB} failed")
endif()

# Names in the "[Ordinal/Name Pointer] Table" of the export section:
# lines of the form "\t[   0] ZervConnect" up to the next empty line.
string(FIND "${dump}" "[Ordinal/Name Pointer] Table" at)
set(actual)
if(at GREATER -1)
  string(SUBSTRING "${dump}" ${at} -1 table)
  string(REGEX MATCH "Table\n([^\n]+\n)*" table "${table}")
  string(REGEX MATCHALL "\\[ *[0-9]+\\] [A-Za-z0-9_@?$]+" entries "${table}")
  foreach(entry ${entries})
    string(REGEX REPLACE ".* " "" name "${entry}")
    list(APPEND actual ${name})
  endforeach()
endif()
list(SORT actual)
file(STRINGS ${EXPECTED} expected)
list(SORT expected)
if(NOT actual STREQUAL expected)
  string(REPLACE ";" "\n  " a "${actual}")
  string(REPLACE ";" "\n  " e "${expected}")
  message(FATAL_ERROR "export table differs\nexpected:\n  ${e}\nactual:\n  ${a}")
endif()

# Imported DLLs: only the system's.
string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
set(allowed kernel32.dll user32.dll setupapi.dll msvcrt.dll advapi32.dll)
foreach(line ${imports})
  string(REGEX REPLACE "DLL Name: *" "" dll "${line}")
  string(STRIP "${dll}" dll)
  string(TOLOWER "${dll}" lower)
  if(NOT lower IN_LIST allowed AND NOT lower MATCHES "^api-ms-win-")
    message(FATAL_ERROR "imports a DLL that is not the system's: ${dll}")
  endif()
endforeach()
list(LENGTH actual n)
message(STATUS "exports: ${n} names as expected; imports: system DLLs only")
