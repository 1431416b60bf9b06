#!/bin/sh
# A job for tools/vm/vm-run.sh that checks the guest's system MIDI path:
# the ALSA sequencer with "Midi Through" and a VirMIDI card is there, and
# tamarind-cli finds their ports over --midi system. No instrument answers,
# so "ports" ends with exit code 3 (no instrument), which is the expected result.
#   tools/vm/vm-run.sh --results DIR -- "$PWD/tests/system-midi/smoke.sh" BUILD_DIR
# BUILD_DIR (absolute; default $TAMARIND_BUILD_DIR) holds tamarind-cli.
# Exit code 0 when everything was found, 1 otherwise.
set -eu
build=${1:-${TAMARIND_BUILD_DIR:-}}
if [ -z "$build" ] || [ ! -x "$build/tamarind-cli" ]; then
  echo "smoke: no tamarind-cli in the build folder '${build}' (give it as the first argument)" >&2
  exit 1
fi
echo "== uptime at start: $(cut -d' ' -f1 /proc/uptime) s"
echo "== kernel: $(uname -r)"
echo "== modules"
cut -d' ' -f1 /proc/modules | sort | tr '\n' ' '
echo
echo "== /dev/snd"
ls /dev/snd
echo "== aconnect -l"
clients=$(aconnect -l)
echo "$clients"

failed=0
for name in "Midi Through" "VirMIDI"; do
  case $clients in
    *"$name"*) ;;
    *) echo "smoke: FAILED: no sequencer client '$name'"; failed=1 ;;
  esac
done

echo "== tamarind-cli --midi system --wait 3 ports"
set +e
ports=$("$build/tamarind-cli" --midi system --wait 3 ports 2>&1)
rc=$?
set -e
echo "$ports"
echo "== exit code $rc"
if [ "$rc" -ne 3 ]; then
  echo "smoke: FAILED: expected exit code 3 (no instrument), got $rc"
  failed=1
fi
for name in "Midi Through Port-0" "VirMIDI 1-0"; do
  case $ports in
    *"$name"*) ;;
    *) echo "smoke: FAILED: tamarind-cli did not list '$name'"; failed=1 ;;
  esac
done
echo "== uptime at end: $(cut -d' ' -f1 /proc/uptime) s"
[ "$failed" -eq 0 ] && echo "smoke: passed"
exit "$failed"
