#!/usr/bin/env bash
# Prepares this Debian machine to cross-build Tamarind for Windows and to run
# the Windows programs under Wine: the Linux tools (setup.sh), MinGW-w64, Wine,
# and libpng and libjpeg-turbo cross-built from Debian's source packages
# (Debian's JUCE uses the system's image libraries, and Debian ships no MinGW
# builds of these two).
#
# The libraries are built once into a cache outside the clone, like ccache's,
# keyed by the content of this script and of the toolchain file, so a changed
# recipe builds afresh and CI reuses the result between runs:
#   ${TAMARIND_CACHE_DIR:-${XDG_CACHE_HOME:-~/.cache}/tamarind}/windows-deps-KEY
# Prints that folder as its last line; everything else goes to stderr.
set -euo pipefail
cd "$(dirname "$0")"
repo=$(pwd)

./setup.sh >&2

packages=(
  gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix libz-mingw-w64-dev
  wine wine64 dpkg-dev
)
"$repo/tools/install-missing.sh" setup-windows "${packages[@]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive

toolchain=$repo/cmake/mingw-w64-x86_64.cmake
key=$(cat "$0" "$toolchain" | sha256sum | cut -c1-16)
cache_root=${TAMARIND_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/tamarind}
prefix=$cache_root/windows-deps-$key
if [ -f "$prefix/.complete" ]; then
  echo "$prefix"
  exit 0
fi

echo "setup-windows: cross-building libpng and libjpeg-turbo into $prefix" >&2
# apt-get source needs a deb-src entry; add one mirroring the main Debian
# entries (not the security archive, whose mirrors may not carry sources).
if ! apt-get source --print-uris libpng1.6 >/dev/null 2>&1; then
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    awk 'BEGIN { RS = ""; ORS = "\n\n" } !/security/ { sub(/Types:[^\n]*/, "Types: deb-src"); print }' \
      /etc/apt/sources.list.d/debian.sources |
      "${sudo_cmd[@]}" tee /etc/apt/sources.list.d/tamarind-deb-src.sources >/dev/null
  else
    grep -h '^deb ' /etc/apt/sources.list | grep -i debian | grep -v security | sed 's/^deb /deb-src /' |
      "${sudo_cmd[@]}" tee /etc/apt/sources.list.d/tamarind-deb-src.list >/dev/null
  fi
  "${sudo_cmd[@]}" apt-get update -qq >&2
fi

mkdir -p "$cache_root"
work=$(mktemp -d "$cache_root/windows-deps-build.XXXXXX")
trap 'rm -rf "$work"' EXIT
staging=$work/prefix
cd "$work"
apt-get source -qq libpng1.6 libjpeg-turbo >&2
png_src=$(find . -maxdepth 1 -type d -name 'libpng1.6-*' | head -1)
jpeg_src=$(find . -maxdepth 1 -type d -name 'libjpeg-turbo-*' | head -1)

common=(-G "Unix Makefiles" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release
  -DCMAKE_INSTALL_PREFIX="$staging" -DCMAKE_POSITION_INDEPENDENT_CODE=ON)
jobs=$(nproc 2>/dev/null || echo 2)

# zlib: Debian's static MinGW build, so the programs need no zlib1.dll.
cmake -S "$png_src" -B png-build "${common[@]}" \
  -DPNG_SHARED=OFF -DPNG_STATIC=ON -DPNG_TESTS=OFF -DPNG_EXECUTABLES=OFF \
  -DZLIB_INCLUDE_DIR=/usr/x86_64-w64-mingw32/include -DZLIB_LIBRARY=/usr/x86_64-w64-mingw32/lib/libz.a >&2
cmake --build png-build -j"$jobs" >&2
cmake --install png-build >&2

# No SIMD (it needs nasm and decoding a few small pictures gains nothing).
cmake -S "$jpeg_src" -B jpeg-build "${common[@]}" \
  -DENABLE_SHARED=OFF -DENABLE_STATIC=ON -DWITH_SIMD=OFF -DWITH_TURBOJPEG=OFF -DWITH_JPEG8=OFF >&2
cmake --build jpeg-build -j"$jobs" >&2
cmake --install jpeg-build >&2
# JUCE's loader includes the library's internal header too, inside a
# namespace of its own, after <windows.h>. The library's header leaves out its
# "boolean" when <rpcndr.h> declared one (the same unsigned char); declare it
# always, so the loader finds it in its namespace. Redeclaring a typedef as the
# same type is valid C and C++.
cp "$jpeg_src/jpegint.h" "$staging/include/"
sed -i '/^#ifndef __RPCNDR_H__/{N;N;s/^#ifndef __RPCNDR_H__[^\n]*\n\(typedef unsigned char boolean;\)\n#endif/\1/}' \
  "$staging/include/jconfig.h"
grep -q '^typedef unsigned char boolean;' "$staging/include/jconfig.h"

touch "$staging/.complete"
rm -rf "$prefix"
mv "$staging" "$prefix"
echo "$prefix"
