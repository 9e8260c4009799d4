# Fails unless the Windows DLL is x86-64, exports exactly the listed functions
# by their plain names, and imports nothing but KERNEL32 and the C runtime:
# no libstdc++, libgcc or libwinpthread DLL may be needed beside it.
# usage: cmake -DOBJDUMP=... -DLIBRARY=... -P check_pe_tables.cmake
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND ${OBJDUMP} -p ${LIBRARY}
                OUTPUT_VARIABLE dump RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p failed on ${LIBRARY}")
endif()
if(NOT dump MATCHES "file format pei-x86-64")
  message(FATAL_ERROR "${LIBRARY} is not a PE32+ x86-64 image")
endif()

# Matched on the whole text: objdump's brackets would upset CMake's lists.
set(imports "")
string(REGEX MATCHALL "DLL Name: [^\n]+" dll_lines "${dump}")
foreach(dll_line IN LISTS dll_lines)
  string(REGEX REPLACE "^DLL Name: " "" dll "${dll_line}")
  string(TOLOWER "${dll}" dll)
  list(APPEND imports "${dll}")
endforeach()

set(exports "")
string(FIND "${dump}" "[Ordinal/Name Pointer] Table\n" names_at)
if(names_at GREATER_EQUAL 0)
  string(SUBSTRING "${dump}" ${names_at} -1 names)
  string(FIND "${names}" "\n\n" names_end)
  string(SUBSTRING "${names}" 0 ${names_end} names)
  string(REGEX MATCHALL "\n[ \t]*\\[ *[0-9]+\\] [^\n]+" name_lines "${names}")
  foreach(name_line IN LISTS name_lines)
    string(REGEX REPLACE "^\n[ \t]*\\[ *[0-9]+\\] " "" name "${name_line}")
    list(APPEND exports "${name}")
  endforeach()
endif()

list(SORT exports)
include(${CMAKE_CURRENT_LIST_DIR}/exported_names.cmake)
set(expected ${VEERPIX_EXPORTED_NAMES})
if(NOT exports STREQUAL expected)
  message(FATAL_ERROR "exported names differ:\n  found:    ${exports}\n  expected: ${expected}")
endif()

# The C runtime is msvcrt, or the UCRT (ucrtbase and its api-ms-win-crt sets).
set(unexpected "")
foreach(dll IN LISTS imports)
  if(NOT dll MATCHES "^(kernel32|msvcrt|ucrtbase|api-ms-win-crt-[a-z0-9-]+)\\.dll$")
    list(APPEND unexpected "${dll}")
  endif()
endforeach()
if(unexpected OR NOT "kernel32.dll" IN_LIST imports)
  message(FATAL_ERROR "imports other than KERNEL32 and the C runtime: ${unexpected}\n  all: ${imports}")
endif()

message(STATUS "exports: ${exports}")
message(STATUS "imports: ${imports}")
