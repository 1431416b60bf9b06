#!/usr/bin/env bash
# The system MIDI tests (test_system_midi.py) in a virtual machine with the
# ALSA sequencer, against the native build (TAMARIND_BUILD_DIR, default build/):
#   tests/system-midi/run.sh [TEST NAMES...]
# Results (the job's output, the guest's console, screenshots) are left in
# BUILD/system-midi/. Exit status: the tests' (see tools/vm/vm-run.sh).
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${TAMARIND_BUILD_DIR:-$repo/build}" && pwd)
results=$build/system-midi
rm -rf "$results"
mkdir -p "$results"
exec "$repo/tools/vm/vm-run.sh" --results "$results" --share "$repo" --share "$build" \
  --mem 2048 --timeout "${TAMARIND_VM_TIMEOUT:-1800}" --env "REPO=$repo" --env "BUILD=$build" \
  -- "$repo/tests/system-midi/job.sh" "$@"
