#!/usr/bin/env bash
# Sets up, builds and runs Tamarind.
#   ./run.sh [ARGS]         the real program when a piano answers on the
#                           system's MIDI ports within a few seconds, else the demo
#   ./run.sh --demo [ARGS]  always the demo
# ARGS go to Tamarind (--trace, for example).
#
# The demo runs against the built-in virtual piano with its timing model on,
# from a demo program folder (a copy of the program, a sample update.rom made
# by the image tool, and Help.pdf), so the whole update can be tried; the
# sample image never lies beside the real program. With TAMARIND_MIDI set, the
# real program runs with those port sources. Without a display it runs under
# Xvfb; the log is printed to the terminal either way.
set -euo pipefail
cd "$(dirname "$0")"
demo=0
if [ "${1:-}" = "--demo" ]; then
  demo=1
  shift
fi
./setup.sh
# Only what runs here: the programs, the image tool (the demo's sample image)
# and the guide beside the program; the tests are built by ./test.sh.
TAMARIND_BUILD_TARGET="Tamarind tamarind-cli image-tool tamarind_help" ./build.sh
build_dir=$(cd "${TAMARIND_BUILD_DIR:-build}" && pwd)
exe=$(find "$build_dir/app/Tamarind_artefacts" -type f -name Tamarind -perm -u+x | head -n 1)

if [ $demo -eq 0 ] && [ -z "${TAMARIND_MIDI:-}" ]; then
  # A piano answers when the command-line tool pairs with it (exit code 0).
  echo "run: looking for a piano on the system's MIDI ports (5 s)" >&2
  if timeout 120 "$build_dir/tamarind-cli" --midi system --wait 5 ports >/dev/null 2>&1; then
    echo "run: a piano answered; starting Tamarind (update.rom goes beside $exe)" >&2
  else
    echo "run: no piano answered; running the demo against the virtual piano (./run.sh --demo does always)" >&2
    demo=1
  fi
fi

if [ $demo -eq 1 ]; then
  demo_dir="$build_dir/demo"
  mkdir -p "$demo_dir/program" "$demo_dir/work"
  cp -f "$exe" "$(dirname "$exe")/Help.pdf" "$demo_dir/program/"
  "$build_dir/tools/image-tool" make "$demo_dir/program/update.rom" --version V1.10.00 --product Tessaro \
    --fill random:2026 >/dev/null
  exe="$demo_dir/program/Tamarind"
  export TAMARIND_MIDI=virtual
  export TAMARIND_VIRTUAL_PIANO=${TAMARIND_VIRTUAL_PIANO:-"timing=1,store=$demo_dir/flash.bin"}
  export TAMARIND_WORK_DIR=${TAMARIND_WORK_DIR:-"$demo_dir/work"}
  echo "run: demo against the virtual piano ($demo_dir)" >&2
fi

if [ -z "${DISPLAY:-}" ]; then
  echo "run: no display; running under Xvfb (log below, Ctrl-C to stop)" >&2
  exec xvfb-run -a -s "-screen 0 1280x1024x24" "$exe" "$@"
fi
exec "$exe" "$@"
