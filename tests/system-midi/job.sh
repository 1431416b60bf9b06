#!/bin/sh
# Runs in the virtual machine (see run.sh): the system MIDI tests against the
# build in $BUILD, from the clone in $REPO; pictures go to the results folder.
set -eu
echo "sequencer clients at the start:"
aconnect -l
exec python3 -u "$REPO/tests/system-midi/test_system_midi.py" --build "$BUILD" \
  --artefacts "$TAMARIND_RESULTS/artefacts" "$@"
