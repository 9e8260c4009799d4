# Each folder of src/ is a layer and includes only its own headers and
# those of the layers below it, so the folders are the map of the code.
# usage: cmake -DSOURCE_DIR=<src> -P check_layers.cmake
cmake_minimum_required(VERSION 3.25)
set(layers common platform pixels formats metadata api)  # bottom to top

# The one include still reaching up, until the JPEG segment walk lives
# with the formats.
set(allowed "formats/image_io.cpp: #include \"metadata/exif.h\"")

set(failures "")
foreach(layer IN LISTS layers)
  list(FIND layers ${layer} rank)
  file(GLOB files ${SOURCE_DIR}/${layer}/*)
  foreach(file IN LISTS files)
    file(STRINGS ${file} includes REGEX "^#include \"[a-z_]+/")
    foreach(line IN LISTS includes)
      string(REGEX MATCH "\"([a-z_]+)/" _ "${line}")
      set(target ${CMAKE_MATCH_1})
      list(FIND layers ${target} target_rank)
      file(RELATIVE_PATH name ${SOURCE_DIR} ${file})
      if("${name}: ${line}" IN_LIST allowed)
        continue()
      endif()
      if(target_rank EQUAL -1 OR target_rank GREATER rank)
        string(APPEND failures "\n  ${name}: ${line}")
      endif()
    endforeach()
  endforeach()
endforeach()
file(GLOB loose ${SOURCE_DIR}/*.c ${SOURCE_DIR}/*.cpp ${SOURCE_DIR}/*.h)
foreach(file IN LISTS loose)
  string(APPEND failures "\n  ${file}: outside every layer's folder")
endforeach()
if(failures)
  message(FATAL_ERROR "includes that reach up a layer (${layers}, bottom to top):${failures}")
endif()
