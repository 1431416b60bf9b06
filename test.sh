#!/usr/bin/env bash
# Sets up, builds and runs every test of Tamarind.
#   ./test.sh                    the whole suite (unit, component and end-to-end)
#   ./test.sh --with-sanitizers  also the headless suite under AddressSanitizer
#                                with UndefinedBehaviorSanitizer, and under
#                                ThreadSanitizer, and each libFuzzer target for
#                                60 s (TAMARIND_FUZZ_SECONDS) (what CI runs)
set -euo pipefail
cd "$(dirname "$0")"
./setup.sh
./build.sh
build_dir=${TAMARIND_BUILD_DIR:-build}
(cd "$build_dir" && ctest --no-tests=error --output-on-failure -j2)
# The figures of the power-cut and fault matrices.
sed -n '/^Power cuts/,/cut points tried/p;/^Faults/,/faults tried/p;/^Duplicated replies/,/indices tried/p' \
  "$build_dir/Testing/Temporary/LastTest.log"

if [ "${1:-}" = "--with-sanitizers" ]; then
  for kind in address thread; do
    echo "== headless suite under the $kind sanitizer"
    TAMARIND_BUILD_DIR="build-$kind" TAMARIND_BUILD_TARGET=tamarind_tests \
      ./build.sh -DTAMARIND_SANITIZE="$kind" -DTAMARIND_BUILD_GUI=OFF -DTAMARIND_BUILD_BENCH=OFF
    (cd "build-$kind" &&
      ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
      ctest --no-tests=error --output-on-failure -j2)
  done
  echo "== fuzz targets, bounded time each"
  fuzz/run.sh "${TAMARIND_FUZZ_SECONDS:-60}"
fi
