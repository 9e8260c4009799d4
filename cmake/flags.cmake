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

# The codecs' optimisation in release builds: -O3, chosen by measuring the
# codec benchmarks of bench/ against -O2 and -Os (the encoders gain most).
# Never -ffast-math: the codecs' float arithmetic must stay exact, as the
# rest of the build's.
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
