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
  xvfb xauth xdotool x11-utils imagemagick xdg-utils
  groff ghostscript poppler-utils img2pdf
  desktop-file-utils appstream libglib2.0-bin
  clang libclang-rt-14-dev
)

exec "$(dirname "$0")/tools/install-missing.sh" setup "${packages[@]}"
