#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks to build, run and test Tamarind.
# Does nothing when everything is already there.
set -euo pipefail

packages=(
  build-essential cmake pkg-config ccache python3
  juce-modules-source
  libasound2-dev libx11-dev libxext-dev libxrandr-dev libxinerama-dev libxcursor-dev
  libfreetype-dev zlib1g-dev libpng-dev libjpeg-dev fontconfig fonts-dejavu-core
  libgtest-dev libgmock-dev libbenchmark-dev
  xvfb xdotool x11-utils imagemagick xdg-utils
  groff ghostscript poppler-utils img2pdf
  desktop-file-utils appstream
  clang libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "setup: installing ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
