#!/usr/bin/env bash
# Sets up, builds and runs every test of Tamarind.
set -euo pipefail
cd "$(dirname "$0")"
./setup.sh
./build.sh
build_dir=${TAMARIND_BUILD_DIR:-build}
cd "$build_dir"
ctest --no-tests=error --output-on-failure -j2
