#!/usr/bin/env bash
# Sets up, builds and runs Tamarind.
#
# With no instrument attached it runs against the built-in virtual piano with
# its timing model on, from a demo program folder (a copy of the program, a
# sample update.rom made by the image tool, and Help.pdf), so the whole update
# can be tried. Without a display it runs under Xvfb; the log is printed to
# the terminal either way.
set -euo pipefail
cd "$(dirname "$0")"
./setup.sh
./build.sh
build_dir=$(cd "${TAMARIND_BUILD_DIR:-build}" && pwd)
exe=$(find "$build_dir/app/Tamarind_artefacts" -type f -name Tamarind -perm -u+x | head -n 1)

if [ -z "${TAMARIND_MIDI:-}" ] && [ ! -e /dev/snd/seq ]; then
  # No system MIDI here: a demo against the virtual piano. The sample image
  # lives only in the demo folder, never beside the real program.
  demo="$build_dir/demo"
  mkdir -p "$demo/program" "$demo/work"
  cp -f "$exe" "$(dirname "$exe")/Help.pdf" "$demo/program/"
  "$build_dir/tools/image-tool" make "$demo/program/update.rom" --version V1.10.00 --product Tessaro \
    --fill random:2026 >/dev/null
  exe="$demo/program/Tamarind"
  export TAMARIND_MIDI=virtual
  export TAMARIND_VIRTUAL_PIANO=${TAMARIND_VIRTUAL_PIANO:-"timing=1,store=$demo/flash.bin"}
  export TAMARIND_WORK_DIR=${TAMARIND_WORK_DIR:-"$demo/work"}
  echo "run: no MIDI ports here; demo against the virtual piano ($demo)" >&2
fi

if [ -z "${DISPLAY:-}" ]; then
  echo "run: no display; running under Xvfb (log below, Ctrl-C to stop)" >&2
  exec xvfb-run -a -s "-screen 0 1280x1024x24" "$exe" "$@"
fi
exec "$exe" "$@"
