#!/usr/bin/env bash
# Sets up, builds and runs Tamarind. With no instrument attached it runs
# against the built-in virtual piano, and under Xvfb when there is no display
# (the log is printed to the terminal either way).
set -euo pipefail
cd "$(dirname "$0")"
./setup.sh
./build.sh
build_dir=${TAMARIND_BUILD_DIR:-build}
exe=$(find "$build_dir/app/Tamarind_artefacts" -type f -name Tamarind -perm -u+x | head -n 1)

if [ -z "${TAMARIND_MIDI:-}" ]; then
  # No system MIDI ports (no ALSA sequencer here): use the virtual piano.
  if [ ! -e /dev/snd/seq ]; then
    export TAMARIND_MIDI=virtual
    echo "run: no MIDI ports on this machine; using the built-in virtual piano" >&2
  fi
fi

if [ -z "${DISPLAY:-}" ]; then
  echo "run: no display; running under Xvfb (log below, Ctrl-C to stop)" >&2
  exec xvfb-run -a -s "-screen 0 1280x1024x24" "$exe" "$@"
fi
exec "$exe" "$@"
