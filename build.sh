#!/usr/bin/env bash
# Configures and builds Tamarind into ./build (or $TAMARIND_BUILD_DIR).
# Extra arguments go to the CMake configure step of a new build folder.
set -euo pipefail
cd "$(dirname "$0")"
build_dir=${TAMARIND_BUILD_DIR:-build}
jobs=$(nproc 2>/dev/null || echo 2)
# Let ccache share results between clones of the repository.
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$(pwd)}
export CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-1}
if [ ! -f "$build_dir/CMakeCache.txt" ]; then
  cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
fi
cmake --build "$build_dir" -j"$jobs" ${TAMARIND_BUILD_TARGET:+--target "$TAMARIND_BUILD_TARGET"}
