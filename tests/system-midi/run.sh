#!/usr/bin/env bash
# The system MIDI tests (test_system_midi.py) in a virtual machine with the
# ALSA sequencer, against the native build (TAMARIND_BUILD_DIR, default build/):
#   tests/system-midi/run.sh [TEST NAMES...]
#   tests/system-midi/run.sh --windows [TEST NAMES...]
#                      the Windows build (build-windows/) under Wine instead,
#                      with the native virtual piano and image tool
# Results (the job's output, the guest's console, screenshots) are left in
# BUILD/system-midi/ (BUILD/system-midi-windows/). Exit status: the tests'
# (see tools/vm/vm-run.sh).
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${TAMARIND_BUILD_DIR:-$repo/build}" && pwd)
job=$repo/tests/system-midi/job.sh
results=$build/system-midi
extra=()
if [ "${1:-}" = "--windows" ]; then
  shift
  windows=$(cd "${TAMARIND_WINDOWS_BUILD_DIR:-$repo/build-windows}" && pwd)
  # A Wine prefix made here once (its first start is slow under an emulated
  # processor); the guest lays its changes over it in memory.
  prefix=$windows/vm-wine-prefix
  if [ ! -f "$prefix/.complete" ]; then
    rm -rf "$prefix"
    (
      export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
      unset DISPLAY
      wine wineboot -i </dev/null >/dev/null 2>&1
      # MIDI through ALSA, whatever audio the guest lacks; windows of their own.
      wine reg add 'HKCU\Software\Wine\Drivers' /v Audio /d alsa /f </dev/null >/dev/null 2>&1
      wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f </dev/null >/dev/null 2>&1
      wineserver -w
    )
    touch "$prefix/.complete"
  fi
  job=$repo/tests/system-midi/windows-job.sh
  results=$build/system-midi-windows
  extra=(--share "$windows" --env "WINDOWS_BUILD=$windows" --env "WINE_PREFIX=$prefix")
fi
rm -rf "$results"
mkdir -p "$results"
exec "$repo/tools/vm/vm-run.sh" --results "$results" --share "$repo" --share "$build" "${extra[@]}" \
  --mem 2048 --timeout "${TAMARIND_VM_TIMEOUT:-1800}" --env "REPO=$repo" --env "BUILD=$build" \
  -- "$job" "$@"
