#!/bin/sh
# Runs a cross-built Windows program under Wine: the build's generators, the
# tests and their discovery. The first argument is the Wine prefix to use
# when WINEPREFIX is not set already; Wine's own diagnostics stay quiet.
prefix=$1
shift
export WINEPREFIX="${WINEPREFIX:-$prefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
# No prompts to install Mono or Gecko into a new prefix.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
exec wine "$@"
