# Cross build for 64-bit Windows with Debian's MinGW-w64 (the POSIX thread
# model, which std::thread and std::mutex need). Programs that run during the
# build (the picture and device-image generators, test discovery) run under Wine.
#
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
#         -DTAMARIND_WINDOWS_DEPS=<folder of the cross-built libpng and libjpeg>
#
# setup-windows.sh installs the compilers and Wine and builds the libraries;
# build.sh --windows does all of it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TAMARIND_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TAMARIND_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TAMARIND_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TAMARIND_MINGW_PREFIX}-windres)

# Debian's JUCE: its CMake package lies outside the MinGW sysroot, and it
# imports the host's juceaide, which runs at build time as it is.
if(NOT JUCE_DIR)
  file(GLOB TAMARIND_JUCE_DIRS /usr/lib/*/cmake/JUCE-* /usr/lib/cmake/JUCE-*)
  if(TAMARIND_JUCE_DIRS)
    list(GET TAMARIND_JUCE_DIRS 0 TAMARIND_JUCE_DIR)
    set(JUCE_DIR ${TAMARIND_JUCE_DIR} CACHE PATH "JUCE's CMake package")
  endif()
endif()

# Libraries and headers come from the MinGW sysroot and the cross-built
# libraries only; programs (ccache, groff, juceaide) from the host.
set(TAMARIND_WINDOWS_DEPS "" CACHE PATH "Prefix of the cross-built image libraries")
set(CMAKE_FIND_ROOT_PATH /usr/${TAMARIND_MINGW_PREFIX} ${TAMARIND_WINDOWS_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The programs carry their runtime: no libstdc++, libgcc or winpthread DLL
# has to lie beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Wine runs the programs, in the build folder's own prefix unless WINEPREFIX
# names another.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh ${CMAKE_BINARY_DIR}/wine)
