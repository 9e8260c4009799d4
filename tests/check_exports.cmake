# Fails unless the library's dynamic symbol table defines exactly the nine
# exported functions: no codec, no internal, no C++ runtime symbol leaks.
find_program(NM nm REQUIRED)
execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
                OUTPUT_VARIABLE table RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REPLACE "\n" ";" lines "${table}")
set(found "")
foreach(line IN LISTS lines)
  if(line MATCHES "^[0-9a-fA-F]+ [A-Za-z] (.+)$")
    set(symbol "${CMAKE_MATCH_1}")
    string(REGEX REPLACE "@.*$" "" symbol "${symbol}")
    list(APPEND found "${symbol}")
  endif()
endforeach()
list(SORT found)
set(expected veerpix_angle veerpix_auto_orient veerpix_cleanup veerpix_copy_metadata veerpix_fixed
             veerpix_flip_h veerpix_flip_v veerpix_init veerpix_last_error)
if(NOT found STREQUAL expected)
  message(FATAL_ERROR "exported symbols differ:\n  found:    ${found}\n  expected: ${expected}")
endif()
message(STATUS "exactly the nine functions are exported")
