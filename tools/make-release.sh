#!/usr/bin/env bash
# Makes the release archives of Tamarind with one update image:
#   tools/make-release.sh [--out DIR] [--no-build] UPDATE_ROM
#
# The image is checked first (image-tool info); an image the check refuses
# makes no release. Then, in DIR (default build/release), with FW the
# firmware version of the image (as image-tool info shows it):
#   Tamarind-VERSION-fw-FW-linux-ARCH.tar.gz   the program folder: Tamarind,
#       tamarind-cli, update.rom, Help.pdf, ReadMe.txt, the manual pages, the
#       desktop entry, its icons and install.sh (which puts it into the
#       user's menu)
#   Tamarind-VERSION-fw-FW-windows.zip         the same folder for Windows,
#       when the Windows build (build-windows, see build.sh --windows) exists
#   Tamarind-VERSION-fw-FW-SHA256SUMS          the archives' SHA-256 sums
#
# The builds are brought up to date first (./build.sh, and ./build.sh
# --windows when that build exists) unless --no-build. TAMARIND_BUILD_DIR and
# TAMARIND_WINDOWS_BUILD_DIR name other build folders.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

out=
build=1
rom=
while [ $# -gt 0 ]; do
  case "$1" in
  --out)
    [ $# -ge 2 ] || { echo "make-release: --out takes a folder" >&2; exit 2; }
    out=$2
    shift 2
    ;;
  --no-build)
    build=0
    shift
    ;;
  -h | --help)
    sed -n '2,20s/^# \{0,1\}//p' "$0"
    exit 0
    ;;
  -*)
    echo "make-release: unknown option $1" >&2
    exit 2
    ;;
  *)
    [ -z "$rom" ] || { echo "make-release: one update image only" >&2; exit 2; }
    rom=$1
    shift
    ;;
  esac
done
if [ -z "$rom" ]; then
  echo "usage: tools/make-release.sh [--out DIR] [--no-build] UPDATE_ROM" >&2
  exit 2
fi

build_dir=$(cd "$root" && mkdir -p "${TAMARIND_BUILD_DIR:-build}" && cd "${TAMARIND_BUILD_DIR:-build}" && pwd)
windows_dir=${TAMARIND_WINDOWS_BUILD_DIR:-$root/build-windows}
case $windows_dir in /*) ;; *) windows_dir=$root/$windows_dir ;; esac
windows=0
[ -f "$windows_dir/CMakeCache.txt" ] && windows=1
out=${out:-$build_dir/release}
mkdir -p "$out"
out=$(cd "$out" && pwd)

if [ $build -eq 1 ]; then
  TAMARIND_BUILD_DIR=$build_dir "$root/build.sh"
  if [ $windows -eq 1 ]; then
    TAMARIND_BUILD_DIR=$windows_dir "$root/build.sh" --windows
  fi
fi

stage=$(mktemp -d "${TMPDIR:-/tmp}/tamarind-release.XXXXXX")
trap 'rm -rf "$stage"' EXIT

# The image that is packed is the copy that was checked.
if [ ! -f "$rom" ]; then
  echo "make-release: $rom is not a file" >&2
  exit 1
fi
cp -- "$rom" "$stage/update.rom"
echo "== checking $rom"
status=0
report=$("$build_dir/tools/image-tool" info "$stage/update.rom") || status=$?
printf '%s\n' "$report"
if [ $status -ne 0 ]; then
  echo "make-release: the image check refused $rom (result $status); no release made" >&2
  exit 1
fi
# The archives are named after the firmware they carry, as the check read it
# (one line of the report; a version that spans lines names nothing).
block=$(printf '%s\n' "$report" | sed -n '/^version:  /,/^product:  /p')
firmware=$(printf '%s\n' "$block" | sed -n '1s/^version:  //p')
[ "$(printf '%s\n' "$block" | wc -l)" -eq 2 ] || firmware=
case $firmware in
'' | [.-]* | *[!A-Za-z0-9._+-]*)
  echo "make-release: the image's version \"$firmware\" cannot stand in a file name; no release made" >&2
  exit 1
  ;;
esac

version=$("$build_dir/tamarind-cli" --version | sed -n 's/^tamarind-cli //p')
project_version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build_dir/CMakeCache.txt")
if [ -z "$version" ] || [ "$version" != "$project_version" ]; then
  echo "make-release: the build's programs ($version) are not of its project version ($project_version)" >&2
  exit 1
fi
app_id=$(sed -n 's/^Icon=//p' "$build_dir"/packaging/*.desktop)
archives=()
release=Tamarind-$version-fw-$firmware
# A sums file left by an earlier run must not vouch for archives this run
# failed to write.
rm -f "$out/$release-SHA256SUMS"

# Linux: the installed program folder, with the release's image, the manual
# pages and what a user needs to put it into the menu.
linux=$release-linux-$(uname -m)
cmake --install "$build_dir" --prefix "$stage/install" --strip >/dev/null
folder=$stage/$linux
mkdir -p "$folder/icons"
cp -a "$stage/install/lib/tamarind/." "$folder/"
cp -a "$stage/install/share/icons/hicolor" "$folder/icons/"
cp "$stage/update.rom" "$build_dir/packaging/$app_id.desktop" "$build_dir/packaging/install.sh" \
  "$stage/install/share/man/man1/Tamarind.1" "$stage/install/share/man/man1/tamarind-cli.1" "$folder/"
# The newest glibc symbol version the shipped programs ask for is the oldest
# glibc they run on; the ReadMe names it.
glibc=$(objdump -T "$folder/Tamarind" "$folder/tamarind-cli" | grep -o 'GLIBC_[0-9][0-9.]*' |
  sed 's/^GLIBC_//' | sort -u -V | tail -n 1) || glibc=
mark=@TAMARIND_OLDEST_GLIBC@
if [ -z "$glibc" ] || ! grep -q "$mark" "$build_dir/packaging/ReadMe.txt"; then
  echo "make-release: no glibc version found for the ReadMe (required: \"$glibc\")" >&2
  exit 1
fi
sed "s/$mark/$glibc/g" "$build_dir/packaging/ReadMe.txt" >"$folder/ReadMe.txt"
chmod -R u=rwX,go=rX "$folder"
rm -f "$out/$linux.tar.gz"
tar -C "$stage" --sort=name --owner=0 --group=0 --numeric-owner -czf "$out/$linux.tar.gz" "$linux"
archives+=("$linux.tar.gz")

# Windows: the folder its build installs, with the same image.
if [ $windows -eq 1 ]; then
  windows_version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$windows_dir/CMakeCache.txt")
  if [ "$windows_version" != "$version" ]; then
    echo "make-release: the Windows build is of version $windows_version, not $version" >&2
    exit 1
  fi
  win=$release-windows
  cmake --install "$windows_dir" --prefix "$stage/$win" --strip >/dev/null
  cp "$stage/update.rom" "$stage/$win/"
  chmod -R u=rwX,go=rX "$stage/$win"
  rm -f "$out/$win.zip"
  (cd "$stage" && cmake -E tar cf "$out/$win.zip" --format=zip "$win")
  archives+=("$win.zip")
fi

sums=$release-SHA256SUMS
(cd "$out" && sha256sum "${archives[@]}" >"$sums")
echo "== release $version in $out:"
for f in "${archives[@]}" "$sums"; do
  echo "   $f"
done
