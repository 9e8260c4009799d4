# Floating-point results must not depend on the compiler or the CPU: no
# contraction to fused multiply-add, never fast-math.
if(MSVC)
  # Visual Studio 2022 contracts only under /fp:contract, which is left out;
  # earlier releases may contract under /fp:precise, so they are refused.
  if(MSVC_VERSION LESS 1930)
    message(FATAL_ERROR "Visual Studio 2022 or later is needed: earlier releases may fuse multiply-adds")
  endif()
  add_compile_options(/fp:precise)
else()
  add_compile_options(-ffp-contract=off)
endif()

if(VEERPIX_SANITIZE)
  # float-cast-overflow is not part of "undefined"; the angle code converts
  # doubles to int32 and must guard every such conversion.
  set(VEERPIX_SANITIZER_FLAGS -fsanitize=address,undefined,float-cast-overflow -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_compile_options(${VEERPIX_SANITIZER_FLAGS})
  add_link_options(${VEERPIX_SANITIZER_FLAGS})
endif()

function(veerpix_project_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 $<$<BOOL:${VEERPIX_WERROR}>:/WX>)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic $<$<BOOL:${VEERPIX_WERROR}>:-Werror>)
  endif()
endfunction()

# The codecs' optimisation in release builds, chosen by measurement: -O3.
# CPU ms on the 24 MP picture of bench/ (veerpix_bench codecs/, two
# alternating runs of builds that differ only in this flag; busy machine):
#                  -O2          -O3          -Os
#   JPEG decode    324  391     281  280     290  276
#   JPEG encode   1220 1278    1000  943    1128 1098
#   PNG decode    1078 1023     821  865    1345  985
#   PNG encode    3631 3118    2336 2378    3442 3198
# -O3 is the fastest at every step, 20-25% ahead of -O2 where it matters
# most (JPEG and PNG encoding). Never -ffast-math: the codecs' float
# arithmetic must stay exact, as the rest of the build's.
set(VEERPIX_CODEC_OPTIMIZATION "-O3" CACHE STRING "Optimisation flag of the codec unit in Release builds")

# The codecs' own code: its warnings are not ours to fix, and its known
# undefined-behaviour reports (shifts of negative values) are left to
# AddressSanitizer alone, which still catches every bad memory access.
function(veerpix_dependency_unit source)
  if(NOT MSVC)
    set(options -w $<$<CONFIG:Release>:${VEERPIX_CODEC_OPTIMIZATION}>)
    if(VEERPIX_SANITIZE)
      list(APPEND options -fno-sanitize=undefined,float-cast-overflow)
    endif()
    set_source_files_properties(${source} PROPERTIES COMPILE_OPTIONS "${options}")
  endif()
endfunction()
