#!/usr/bin/env bash
# Configures and builds Tamarind into ./build (or $TAMARIND_BUILD_DIR).
#   ./build.sh [CMAKE ARGS]            native build
#   ./build.sh --windows [CMAKE ARGS]  cross build for Windows into ./build-windows
#                                      (MinGW-w64; generators run under Wine)
#   ./build.sh --windows --package     also the release folder, zipped:
#                                      build-windows/Tamarind-VERSION-windows.zip
# Extra arguments go to the CMake configure step of a new build folder.
set -euo pipefail
cd "$(dirname "$0")"
windows=0
package=0
if [ "${1:-}" = "--windows" ]; then
  windows=1
  shift
  if [ "${1:-}" = "--package" ]; then
    package=1
    shift
  fi
fi
default_dir=build
[ $windows -eq 1 ] && default_dir=build-windows
build_dir=${TAMARIND_BUILD_DIR:-$default_dir}
jobs=$(nproc 2>/dev/null || echo 2)
# Let ccache share results between clones of the repository.
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$(pwd)}
export CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-1}
if [ $windows -eq 1 ]; then
  deps=$(./setup-windows.sh | tail -n 1)
  # The user guide's pictures are taken from the native program under Xvfb:
  # the native build (./build, or $TAMARIND_NATIVE_BUILD_DIR) makes Help.pdf
  # first, and the Windows build ships that same file.
  native_dir=${TAMARIND_NATIVE_BUILD_DIR:-build}
  TAMARIND_BUILD_DIR=$native_dir TAMARIND_BUILD_TARGET=tamarind_help ./build.sh
  help_pdf=$(cd "$native_dir" && pwd)/resources/Help.pdf
  if [ ! -f "$build_dir/CMakeCache.txt" ]; then
    cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DTAMARIND_WINDOWS_DEPS="$deps" \
      -DTAMARIND_HELP_PDF="$help_pdf" -DTAMARIND_BUILD_BENCH=OFF "$@"
  elif ! grep -qxF "TAMARIND_WINDOWS_DEPS:PATH=$deps" "$build_dir/CMakeCache.txt" ||
    ! grep -qxF "TAMARIND_HELP_PDF:FILEPATH=$help_pdf" "$build_dir/CMakeCache.txt"; then
    # The libraries were rebuilt elsewhere (their recipe changed), or the
    # guide comes from another native build.
    cmake -S . -B "$build_dir" -DTAMARIND_WINDOWS_DEPS="$deps" -DTAMARIND_HELP_PDF="$help_pdf"
  fi
  # The generators run under Wine in the build folder's prefix.
  prefix=$(cd "$build_dir" && pwd)/wine
  cmake/wine-session.sh start "$prefix"
  trap 'cmake/wine-session.sh stop "$prefix"' EXIT
elif [ ! -f "$build_dir/CMakeCache.txt" ]; then
  cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
fi
# TAMARIND_BUILD_TARGET: one target or several, separated by spaces.
read -r -a targets <<<"${TAMARIND_BUILD_TARGET:-}"
# A folder configured before a named target existed knows no rule for it yet.
[ ${#targets[@]} -eq 0 ] || cmake "$build_dir" >/dev/null
cmake --build "$build_dir" -j"$jobs" ${targets[0]+--target "${targets[@]}"}
if [ $package -eq 1 ]; then
  cmake --build "$build_dir" --target package
fi
