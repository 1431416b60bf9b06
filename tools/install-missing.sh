#!/usr/bin/env bash
# Installs with apt-get those of the Debian packages named that are missing;
# does nothing when all are there. The setup scripts share it.
#   tools/install-missing.sh WHO PACKAGE...
# WHO names the caller in the one line it prints (on stderr).
set -euo pipefail
who=$1
shift
missing=()
for p in "$@"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -gt 0 ] || exit 0
echo "$who: installing ${missing[*]}" >&2
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq >&2
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
