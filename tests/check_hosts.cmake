# The hosts (the command line and the Python module) hold no policy of the
# library's: in particular they never recognise a file by its first bytes,
# which is the library's to do. Fails on any image signature written in
# their sources.
# usage: cmake -DSOURCE_DIR=<project> -P check_hosts.cmake
cmake_minimum_required(VERSION 3.25)
# JPEG's FF D8 and PNG's 89 "PNG" as escapes or numbers, BMP's "BM" as a
# string of its own.
set(signatures [[\\x[Ff][Ff]\\x[Dd]8]] [[0x[Ff][Ff], *0x[Dd]8]] [[\\x89PNG]] [[0x89, *0x50]] [["BM"]] [['BM']])
file(GLOB sources ${SOURCE_DIR}/tools/*.cpp ${SOURCE_DIR}/tools/*.h ${SOURCE_DIR}/python/*.py)
set(failures "")
foreach(file IN LISTS sources)
  file(READ ${file} text)
  foreach(signature IN LISTS signatures)
    if(text MATCHES "${signature}")
      file(RELATIVE_PATH name ${SOURCE_DIR} ${file})
      string(APPEND failures "\n  ${name}: ${CMAKE_MATCH_0}")
    endif()
  endforeach()
endforeach()
if(failures)
  message(FATAL_ERROR "hosts that recognise files by their bytes:${failures}")
endif()
