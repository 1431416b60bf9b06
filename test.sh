#!/usr/bin/env bash
# Sets up, builds and runs every test of Tamarind.
#   ./test.sh                    the whole suite (unit, component and end-to-end)
#   ./test.sh --with-sanitizers  also the headless suite under AddressSanitizer
#                                with UndefinedBehaviorSanitizer, and under
#                                ThreadSanitizer, and each libFuzzer target for
#                                60 s (TAMARIND_FUZZ_SECONDS) (what CI runs)
#   ./test.sh --windows          the Windows build (build.sh --windows): unit,
#                                component, reliability and end-to-end tests
#                                under Wine, with an Xvfb display
#   ./test.sh --system-midi      the programs through the system's MIDI (the
#                                ALSA sequencer) in a virtual machine
#                                (tests/system-midi/run.sh)
#   ./test.sh --system-midi --windows
#                                the same for the Windows build under Wine
#   ./test.sh --fresh-root       ./run.sh --demo on a fresh, minimal Debian
#                                root (a clone of HEAD; tests/fresh-root/run.sh)
set -euo pipefail
cd "$(dirname "$0")"

if [ "${1:-}" = "--fresh-root" ]; then
  shift
  exec tests/fresh-root/run.sh "$@"
fi

if [ "${1:-}" = "--system-midi" ]; then
  shift
  ./setup.sh
  ./build.sh
  if [ "${1:-}" = "--windows" ]; then
    ./build.sh --windows
  fi
  exec tests/system-midi/run.sh "$@"
fi

if [ "${1:-}" = "--windows" ]; then
  ./build.sh --windows
  build_dir=$(cd "${TAMARIND_BUILD_DIR:-build-windows}" && pwd)
  # Wine needs a display for its window driver, also for windows never shown.
  exec {display_fd}< <(Xvfb -displayfd 1 -screen 0 1280x1024x24 -nolisten tcp 2>/dev/null)
  xvfb_pid=$!
  if ! read -r -u "$display_fd" display_number; then
    echo "test.sh: Xvfb did not start" >&2
    exit 1
  fi
  export DISPLAY=:$display_number
  # Wine's server, services and desktop start before the tests, so none of them holds
  # the test runner's output open; the end-to-end tests use prefixes of their own.
  export WINEPREFIX=$build_dir/wine WINEDEBUG=-all
  cmake/wine-session.sh start "$WINEPREFIX"
  trap 'cmake/wine-session.sh stop "$WINEPREFIX"; kill "$xvfb_pid" 2>/dev/null || true' EXIT
  (cd "$build_dir" && ctest --no-tests=error --output-on-failure -j"${TAMARIND_WINE_TEST_JOBS:-2}")
  sed -n '/^Power cuts/,/cut points tried/p;/^Faults/,/faults tried/p' "$build_dir/Testing/Temporary/LastTest.log"
  exit 0
fi
./setup.sh
./build.sh
build_dir=${TAMARIND_BUILD_DIR:-build}
(cd "$build_dir" && ctest --no-tests=error --output-on-failure -j2)
# The figures of the power-cut and fault matrices.
sed -n '/^Power cuts/,/cut points tried/p;/^Faults/,/faults tried/p;/^Power cycles/,/power cycles tried/p;/^Duplicated replies/,/indices tried/p' \
  "$build_dir/Testing/Temporary/LastTest.log"

if [ "${1:-}" = "--with-sanitizers" ]; then
  for kind in address thread; do
    echo "== headless suite under the $kind sanitizer"
    TAMARIND_BUILD_DIR="build-$kind" TAMARIND_BUILD_TARGET="tamarind_tests tamarind-cli image-tool virtual-piano" \
      ./build.sh -DTAMARIND_SANITIZE="$kind" -DTAMARIND_BUILD_GUI=OFF -DTAMARIND_BUILD_BENCH=OFF
    (cd "build-$kind" &&
      ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
      ctest --no-tests=error --output-on-failure -j2)
  done
  echo "== fuzz targets, bounded time each"
  fuzz/run.sh "${TAMARIND_FUZZ_SECONDS:-60}"
fi
