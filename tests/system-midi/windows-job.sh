#!/bin/sh
# Runs in the virtual machine (see run.sh --windows): the Windows build's
# programs under Wine, whose multimedia MIDI goes to the ALSA sequencer.
# The Wine prefix made on the host ($WINE_PREFIX, read-only here) is the
# lower layer of an overlay whose changes stay in the guest's memory.
set -eu
mkdir -p /tmp/wine/upper /tmp/wine/work /tmp/wine/prefix
mount -t overlay overlay -o "lowerdir=$WINE_PREFIX,upperdir=/tmp/wine/upper,workdir=/tmp/wine/work" \
  /tmp/wine/prefix
export WINEPREFIX=/tmp/wine/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# The framework's message window needs a display, also in a console program.
Xvfb :7 -nolisten tcp -screen 0 1280x1024x24 >/dev/null 2>&1 &
export DISPLAY=:7
sleep 2
# Wine's server and services start now, with no pipe of a test held open.
"$REPO/cmake/wine-session.sh" start "$WINEPREFIX"
exec python3 -u "$REPO/tests/system-midi/test_system_midi.py" --build "$BUILD" --windows-build "$WINDOWS_BUILD" \
  --artefacts "$TAMARIND_RESULTS/artefacts" WindowsThroughWineTest WindowsUsbThroughWineTest WindowsWindowThroughWineTest "$@"
