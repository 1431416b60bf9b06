#!/usr/bin/env bash
# Configures and builds Tamarind into ./build (or $TAMARIND_BUILD_DIR).
set -euo pipefail
cd "$(dirname "$0")"
build_dir=${TAMARIND_BUILD_DIR:-build}
jobs=$(nproc 2>/dev/null || echo 2)
if [ ! -f "$build_dir/CMakeCache.txt" ]; then
  cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
fi
cmake --build "$build_dir" -j"$jobs"
