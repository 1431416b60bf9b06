#!/usr/bin/env bash
# Prepares what tools/vm/vm-run.sh needs to boot a small QEMU virtual machine
# that runs a job against the Linux ALSA sequencer (this machine may have no
# sound drivers; the guest loads the sequencer, "Midi Through" and a virtual
# raw MIDI card as kernel modules).
#
# Installs the host packages that are missing (QEMU, static busybox, ALSA's
# tools, which the guest runs from the host's root, and kmod for modprobe and
# depmod). Then, once, into a cache outside the clone, like ccache's:
#   ${TAMARIND_CACHE_DIR:-${XDG_CACHE_HOME:-~/.cache}/tamarind}/vm-KEY
# KEY is made from the content of this script and of the guest's init, so a
# changed recipe builds afresh. The folder holds:
#   vmlinuz          Debian's packaged kernel (downloaded, unpacked, never installed)
#   initrd.cpio.gz   static busybox, the modules the guest needs, and init
#   kernel-version   the kernel's release
#   modules.txt      the modules in the order init loads them
#   .complete        written last; a complete folder is reused as it is
# Prints that folder as its last line; everything else goes to stderr.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
init_script=$here/init

packages=(qemu-system-x86 busybox-static alsa-utils kmod)
"$here/../install-missing.sh" vm-setup "${packages[@]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive

key=$(cat "$0" "$init_script" | sha256sum | cut -c1-16)
cache_root=${TAMARIND_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/tamarind}
target=$cache_root/vm-$key
if [ -f "$target/.complete" ]; then
  echo "$target"
  exit 0
fi

echo "vm-setup: preparing the guest kernel and initramfs in $target" >&2
mkdir -p "$cache_root"
work=$(mktemp -d "$cache_root/vm-build.XXXXXX")
trap 'rm -rf "$work"' EXIT
staging=$work/out
mkdir -p "$staging" "$work/debs" "$work/kroot" "$work/initramfs"

# The metapackage linux-image-amd64 depends on the current kernel package
# (linux-image-6.1.0-N-amd64 on Debian 12); download that one.
kernel_package() {
  apt-cache depends linux-image-amd64 2>/dev/null |
    awk '$1 ~ /Depends:$/ && $2 ~ /^linux-image-[0-9]/ { print $2; exit }'
}
pkg=$(kernel_package)
if [ -z "$pkg" ]; then
  "${sudo_cmd[@]}" apt-get update -qq >&2
  pkg=$(kernel_package)
fi
if [ -z "$pkg" ]; then
  echo "vm-setup: apt knows no kernel package behind linux-image-amd64" >&2
  exit 1
fi
echo "vm-setup: downloading $pkg" >&2
# As root, apt hands downloads to its unprivileged user, who cannot enter a
# cache under /root; download as root without that warning.
download_opts=()
if [ "$(id -u)" -eq 0 ]; then
  download_opts=(-o APT::Sandbox::User=root)
fi
(cd "$work/debs" && apt-get download -qq "${download_opts[@]+"${download_opts[@]}"}" "$pkg" >&2)
deb=$(find "$work/debs" -maxdepth 1 -name '*.deb' | head -n 1)
dpkg-deb -x "$deb" "$work/kroot"

kroot=$work/kroot
# The package puts its modules in /lib/modules (or /usr/lib/modules on
# systems whose /lib moved to /usr).
if [ -d "$kroot/lib/modules" ]; then
  moddir=$kroot/lib/modules
else
  moddir=$kroot/usr/lib/modules
fi
kver=$(find "$moddir" -mindepth 1 -maxdepth 1 -type d -printf '%f\n' | head -n 1)
vmlinuz=$kroot/boot/vmlinuz-$kver
[ -f "$vmlinuz" ] || { echo "vm-setup: no $vmlinuz in $pkg" >&2; exit 1; }
depmod -b "$kroot" "$kver"

# The modules and everything they need, in load order, each once. Built-in
# ones need no loading; snd-hrtimer (a sequencer timer) may be missing.
# The USB ones make an emulated USB-MIDI instrument: dummy_hcd joins a USB
# host and a device controller in the kernel, libcomposite with usb_f_midi
# makes the device side through configfs, and snd-usb-audio is the class
# driver a customer's computer binds to it.
required=(virtio_pci 9pnet_virtio 9p overlay snd-seq snd-seq-dummy snd-virmidi snd-seq-midi snd-serial-u16550
  dummy_hcd libcomposite usb_f_midi snd-usb-audio)
optional=(snd-hrtimer)
{
  for m in "${required[@]}"; do
    modprobe -d "$kroot" -S "$kver" --show-depends "$m"
  done
  for m in "${optional[@]}"; do
    modprobe -d "$kroot" -S "$kver" --show-depends "$m" 2>/dev/null || echo "vm-setup: no module $m (skipped)" >&2
  done
} | awk '$1 == "insmod" && !seen[$2]++ { print $2 }' > "$work/modules.list"

root=$work/initramfs
mkdir -p "$root/bin" "$root/proc" "$root/sys" "$root/dev" "$root/host" "$root/results" "$root/mods"
cp /bin/busybox "$root/bin/busybox"
cp "$init_script" "$root/init"
chmod 755 "$root/init" "$root/bin/busybox"
# Numbered so that a sorted glob gives the load order; compressed modules are
# stored uncompressed, as busybox's insmod may not read them.
i=0
while IFS= read -r ko; do
  i=$((i + 1))
  name=$(basename "$ko")
  dest=$root/mods/$(printf %02d "$i")-${name%%.ko*}.ko
  case $ko in
    *.ko) cp "$ko" "$dest" ;;
    *.ko.xz) xz -dc "$ko" > "$dest" ;;
    *.ko.zst) zstd -qdc "$ko" > "$dest" ;;
    *.ko.gz) gzip -dc "$ko" > "$dest" ;;
    *) echo "vm-setup: unknown module file $ko" >&2; exit 1 ;;
  esac
  echo "${name%%.ko*}" >> "$staging/modules.txt"
done < "$work/modules.list"
(cd "$root" && find . | /bin/busybox cpio -o -H newc 2>/dev/null | gzip -6) > "$staging/initrd.cpio.gz"
cp "$vmlinuz" "$staging/vmlinuz"
echo "$kver" > "$staging/kernel-version"
echo "vm-setup: kernel $kver, $(wc -l < "$staging/modules.txt") modules" >&2

touch "$staging/.complete"
if ! mv -T "$staging" "$target" 2>/dev/null; then
  # Another run finished first; keep its folder when complete.
  if [ ! -f "$target/.complete" ]; then
    rm -rf "$target"
    mv -T "$staging" "$target"
  fi
fi
echo "$target"
