#!/usr/bin/env bash
# The README's first command on a fresh, headless Debian machine: a minimal
# root (mmdebstrap --variant=apt with git and ca-certificates only), a clone
# of this repository's HEAD in it, and `./run.sh --demo`, which must install
# what it needs, build, and reach "Piano connected." without a display.
#   tests/fresh-root/run.sh [--test]   --test: then ./test.sh as well (long)
#
# The root is made once into a cache outside the clone, like the virtual
# machine's kernel:
#   ${TAMARIND_CACHE_DIR:-${XDG_CACHE_HOME:-~/.cache}/tamarind}/fresh-root-KEY
# (KEY from this script's content). Each run lays a fresh layer over it
# (overlayfs, thrown away at the end), so every run starts from the minimal
# root; downloaded packages and compiler results are kept beside it in that
# cache so runs after the first download and compile less. Needs root (chroot,
# mounts) and the network to Debian's mirror. Output and the program's log go
# to build/fresh-root/.
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
run_tests=0
[ "${1:-}" = "--test" ] && run_tests=1
if [ "$(id -u)" -ne 0 ]; then
  echo "fresh-root: needs root (chroot and mounts)" >&2
  exit 1
fi
"$repo/tools/install-missing.sh" fresh-root mmdebstrap

key=$(sha256sum "$0" | cut -c1-16)
cache_root=${TAMARIND_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/tamarind}
base=$cache_root/fresh-root-$key
if [ ! -f "$base/.complete" ]; then
  echo "fresh-root: making the minimal root in $base" >&2
  rm -rf "$base"
  mkdir -p "$cache_root"
  mmdebstrap --quiet --variant=apt --include=git,ca-certificates bookworm "$base.tmp" >&2
  rm -rf "$base"
  mv -T "$base.tmp" "$base"
  touch "$base/.complete"
fi
# Kept between runs: the packages apt downloads and the compiler's cache. The
# root's compiler and flags are this machine's (the same Debian release, the
# same ./build.sh), so this machine's own compiler cache serves it: what the
# tests built here need not be compiled again.
mkdir -p "$cache_root/fresh-root-apt"
compiler_cache=$cache_root/fresh-root-ccache
if command -v ccache >/dev/null && found=$(ccache -k cache_dir 2>/dev/null) && [ -n "$found" ]; then
  compiler_cache=$found
fi
mkdir -p "$compiler_cache"

results=$repo/build/fresh-root
rm -rf "$results"
mkdir -p "$results"
work=$(mktemp -d /var/tmp/tamarind-fresh-root.XXXXXX)
root=$work/root
mounted=()
cleanup() {
  # Every process still in the root goes first, then the mounts, innermost first.
  for pid in $(ls /proc | grep -E '^[0-9]+$'); do
    if [ "$(readlink "/proc/$pid/root" 2>/dev/null)" = "$root" ]; then
      kill -9 "$pid" 2>/dev/null || true
    fi
  done
  sleep 1
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    umount -l "${mounted[$i]}" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT
mount_here() { # mount ARGS... TARGET
  mount "$@"
  mounted+=("${!#}")
}
mkdir -p "$work/upper" "$work/overlay-work" "$root"
mount_here -t overlay overlay -o "lowerdir=$base,upperdir=$work/upper,workdir=$work/overlay-work" "$root"
mount_here -t proc proc "$root/proc"
mount_here --rbind /sys "$root/sys"
mount_here --rbind /dev "$root/dev"
mount_here -t tmpfs tmpfs "$root/tmp"
mkdir -p "$root/var/cache/apt/archives" "$root/root/.cache/ccache" "$root/mnt/origin"
mount_here --bind "$cache_root/fresh-root-apt" "$root/var/cache/apt/archives"
mount_here --bind "$compiler_cache" "$root/root/.cache/ccache"
mount_here --bind -o ro "$repo" "$root/mnt/origin"
cp /etc/resolv.conf "$root/etc/resolv.conf"
# apt keeps what it downloaded (the minimal root's configuration cleans it).
rm -f "$root/etc/apt/apt.conf.d/docker-clean"

in_root() {
  chroot "$root" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    HOME=/root LANG=C.UTF-8 "$@"
}
in_root git config --global --add safe.directory /mnt/origin
in_root git clone --quiet /mnt/origin /root/tamarind
echo "fresh-root: $(in_root git -C /root/tamarind log -1 --format='%h %s')" >&2

# ./run.sh --demo until the program says it is connected; nothing else of the
# machine's is used (no display: it runs under Xvfb).
start=$(date +%s)
log=$results/run-demo.log
in_root /bin/sh -c 'cd /root/tamarind && exec ./run.sh --demo' > "$log" 2>&1 &
demo=$!
connected=no
limit=${TAMARIND_FRESH_ROOT_TIMEOUT:-2400}
while kill -0 "$demo" 2>/dev/null; do
  if grep -q "^Status: Piano connected\.$" "$log"; then
    connected=yes
    break
  fi
  if [ $(($(date +%s) - start)) -gt "$limit" ]; then
    echo "fresh-root: ./run.sh --demo did not reach \"Piano connected.\" within $limit s" >&2
    break
  fi
  sleep 2
done
took=$(($(date +%s) - start))
kill "$demo" 2>/dev/null || true
wait "$demo" 2>/dev/null || true
if [ $connected != yes ]; then
  echo "fresh-root: FAILED; the end of ./run.sh --demo's output:" >&2
  tail -n 40 "$log" >&2
  exit 1
fi
echo "fresh-root: ./run.sh --demo reached \"Piano connected.\" in a minimal root after $took s" >&2
if [ $run_tests -eq 1 ]; then
  start=$(date +%s)
  if ! in_root /bin/sh -c 'cd /root/tamarind && exec ./test.sh' > "$results/test.log" 2>&1; then
    echo "fresh-root: ./test.sh FAILED in the minimal root; the end of its output:" >&2
    tail -n 40 "$results/test.log" >&2
    exit 1
  fi
  echo "fresh-root: ./test.sh passed in the minimal root after $(($(date +%s) - start)) s" >&2
fi
