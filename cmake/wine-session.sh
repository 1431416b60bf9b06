#!/bin/sh
# Starts or stops the Wine session of a prefix, with no terminal or pipe of
# the caller held open by Wine's background processes:
#   cmake/wine-session.sh start PREFIX   creates the prefix when missing and
#                                        starts its server and services
#   cmake/wine-session.sh stop PREFIX    ends every Wine process of the prefix
set -eu
action=$1
export WINEPREFIX="$2"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
case "$action" in
  start)
    mkdir -p "$WINEPREFIX"
    wineserver -p </dev/null >/dev/null 2>&1 || true # already running
    wine wineboot </dev/null >/dev/null 2>&1
    ;;
  stop)
    wineserver -k </dev/null >/dev/null 2>&1 || true
    ;;
esac
