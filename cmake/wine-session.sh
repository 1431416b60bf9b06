#!/bin/sh
# Starts or stops the Wine session of a prefix, with no terminal or pipe of
# the caller held open by Wine's background processes:
#   cmake/wine-session.sh start PREFIX   creates the prefix when missing and
#                                        starts its server, services and desktop
#   cmake/wine-session.sh stop PREFIX    ends every Wine process of the prefix
set -eu
action=$1
export WINEPREFIX="$2"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
# Once the desktop is up, explorer.exe runs the command that follows /desktop,
# which leaves a mark. An explorer.exe that finds the desktop already kept by
# another runs the command too, then ends at once, and so does its start.exe.
# The one that wineboot starts ends a second after wineboot, so ours is
# started again; a desktop that outlasts three tries is kept for a session
# started before.
start_desktop() {
  ready="$WINEPREFIX/drive_c/windows/temp/tamarind-desktop-ready"
  mkdir -p "$(dirname "$ready")"
  for attempt in 1 2 3; do
    rm -f "$ready"
    wine explorer.exe /desktop cmd.exe /c "echo up>C:\\windows\\temp\\tamarind-desktop-ready" \
      </dev/null >/dev/null 2>&1 &
    holder=$!
    waited=0
    until [ -e "$ready" ]; do
      if [ "$waited" -ge 600 ]; then
        echo "wine-session.sh: the Wine desktop did not start (try $attempt)" >&2
        return 1
      fi
      sleep 0.1
      waited=$((waited + 1))
    done
    rm -f "$ready"
    # Still waiting on its explorer.exe two seconds later: ours keeps the desktop.
    sleep 2
    if grep -q '^State:[[:space:]]*[RSD]' "/proc/$holder/status" 2>/dev/null; then
      return 0
    fi
  done
}

case "$action" in
  start)
    mkdir -p "$WINEPREFIX"
    wineserver -p </dev/null >/dev/null 2>&1 || true # already running
    wine wineboot </dev/null >/dev/null 2>&1
    # The desktop. Left to itself, Wine starts its window process (explorer.exe)
    # for the first program that opens a window, with that program's standard
    # error, and ends it a second after the last program on the desktop. Under
    # CTest, which waits until every holder of a test's output has closed it,
    # the test that happened to start it would then last as long as other tests
    # kept the desktop in use, up to its time-out. Started here it holds no
    # output of anyone's, and it stays until the session stops: the start.exe
    # that waits for it is a user of the desktop too.
    start_desktop
    ;;
  stop)
    wineserver -k </dev/null >/dev/null 2>&1 || true
    ;;
esac
