# Cross build of the Windows x86-64 DLL with Debian's mingw-w64 toolchain
# (package g++-mingw-w64-x86-64); its programs run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VEERPIX_MINGW_TRIPLET x86_64-w64-mingw32)
# The posix thread variant: the win32 one has no std::mutex, which
# GoogleTest needs.
set(CMAKE_C_COMPILER ${VEERPIX_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VEERPIX_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${VEERPIX_MINGW_TRIPLET}-windres)

# Headers and libraries come from the toolchain's own root, never from the
# host's /usr/include and /usr/lib, whose glibc headers break the build.
set(CMAKE_FIND_ROOT_PATH /usr/${VEERPIX_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The GCC, C++ and winpthread runtimes are linked in, so that the DLL and the
# programs need nothing beside them but KERNEL32 and the C runtime.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# Target programs (tests, the CLI) run under Wine, in a prefix of the build
# folder's own.
if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
  get_filename_component(VEERPIX_WINE_RUN "${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh" ABSOLUTE)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${VEERPIX_WINE_RUN};${CMAKE_BINARY_DIR}/wine-prefix")
endif()
