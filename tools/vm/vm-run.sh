#!/usr/bin/env bash
# Runs a job inside a small QEMU virtual machine whose Linux kernel has the
# ALSA sequencer (with "Midi Through" and one virtual raw MIDI card,
# "VirMIDI 1-0"), for tests of the system MIDI path on machines without sound
# drivers. The guest sees the host's root read-only, so the job runs the
# host's own programs; tmpfs hides the host's /tmp, /var/tmp, /run and
# /dev/shm.
#
#   tools/vm/vm-run.sh --results DIR [OPTIONS] -- JOB [ARGUMENTS...]
#
#   --results DIR    writable in the guest at the same path, and the job's
#                    working folder; made when missing. vm-run.sh writes
#                    console.log (the guest's console), job.log (the job's
#                    standard output and error), job.rc (its exit code) and
#                    .vm/ (what the guest's init reads)
#   --share PATH     a folder read-only in the guest at the same path; needed
#                    only for folders under /tmp, /var/tmp, /run or /dev/shm
#                    (a clone or build folder there, for instance). Repeatable
#   --env NAME=VALUE an environment variable of the job. Repeatable. The job
#                    otherwise gets only PATH, HOME=/tmp/home and
#                    TAMARIND_RESULTS (the results folder)
#   --timeout SECONDS  the whole run, boot included (default 600)
#   --smp N          virtual processors (default 2)
#   --mem MB         memory (default 1024)
#   --serial2 ARG    QEMU's -serial ARG for COM2 (for example
#                    tcp:127.0.0.1:5555), and the guest loads snd-serial-u16550
#                    on it: a raw MIDI port over that character device
#   --accel auto|kvm|tcg  the accelerator (default auto: KVM when it works,
#                    else TCG; also TAMARIND_VM_ACCEL)
#
# JOB is the absolute path of an executable on the host (the guest sees it at
# the same path); it runs as root in the guest, in the results folder.
# The job's output is shown as it runs.
#
# Exit status: the job's exit code; 124 when the timeout ended the run; 125
# when the virtual machine could not be prepared or stopped before the job
# ended (the last lines of the console say why).
#
# The kernel and initramfs come from vm-setup.sh (run here; it installs what
# is missing on first use). QEMU runs under nice -n 10.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

die() {
  echo "vm-run: $*" >&2
  exit 125
}
usage() {
  # The comment at the top of this file, from its command line on.
  awk 'NR > 1 && !/^#/ { exit } /^#   tools/ { on = 1 } on { sub(/^# ?/, ""); print }' "$0" >&2
  exit 125
}

results=
shares=()
envs=()
timeout_s=600
smp=2
mem=1024
serial2=
accel=${TAMARIND_VM_ACCEL:-auto}
while [ $# -gt 0 ]; do
  case $1 in
    --results) [ $# -ge 2 ] || usage; results=$2; shift 2 ;;
    --share) [ $# -ge 2 ] || usage; shares+=("$2"); shift 2 ;;
    --env) [ $# -ge 2 ] || usage; envs+=("$2"); shift 2 ;;
    --timeout) [ $# -ge 2 ] || usage; timeout_s=$2; shift 2 ;;
    --smp) [ $# -ge 2 ] || usage; smp=$2; shift 2 ;;
    --mem) [ $# -ge 2 ] || usage; mem=$2; shift 2 ;;
    --serial2) [ $# -ge 2 ] || usage; serial2=$2; shift 2 ;;
    --accel) [ $# -ge 2 ] || usage; accel=$2; shift 2 ;;
    --) shift; break ;;
    -h|--help) usage ;;
    *) echo "vm-run: unknown option $1" >&2; usage ;;
  esac
done
if [ -z "$results" ] || [ $# -lt 1 ]; then
  usage
fi
for n in "$timeout_s" "$smp" "$mem"; do
  [[ $n =~ ^[1-9][0-9]*$ ]] || die "not a positive number: $n"
done
case $accel in auto|kvm|tcg) ;; *) die "--accel is auto, kvm or tcg, not $accel" ;; esac

job=$1
shift
case $job in /*) ;; *) die "the job must be an absolute path: $job" ;; esac
if ! [ -f "$job" ] || ! [ -x "$job" ]; then
  die "not an executable file: $job"
fi

newline='
'
# The guest's init reads one path a line.
check_path() {
  case $1 in *"$newline"*) die "a path with a line break cannot be shared: $1" ;; esac
}
mkdir -p "$results"
results=$(realpath "$results")
check_path "$results"
[ "$results" != / ] || die "the results folder cannot be /"
share_paths=()
for s in "${shares[@]+"${shares[@]}"}"; do
  [ -d "$s" ] || die "not a folder: $s"
  s=$(realpath "$s")
  check_path "$s"
  share_paths+=("$s")
done

# The guest hides the host's /tmp, /var/tmp, /run and /dev/shm under fresh
# tmpfs; a job there must be inside a share or the results folder.
inside() {
  case $1 in "$2"/*) return 0 ;; esac
  return 1
}
job_real=$(realpath "$job")
case $job_real in
  /tmp/* | /var/tmp/* | /run/* | /dev/shm/*)
    visible=no
    for s in "$results" "${share_paths[@]+"${share_paths[@]}"}"; do
      inside "$job_real" "$s" && visible=yes
    done
    [ $visible = yes ] || die "the guest cannot see $job_real; share its folder with --share"
    ;;
esac

# Single quotes for /bin/sh: each ' becomes '\''.
quote() {
  local q=\'
  printf "'%s'" "${1//$q/$q\\$q$q}"
}
# QEMU's option values double their commas.
qemu_value() {
  printf '%s' "${1//,/,,}"
}

cache=$("$here/vm-setup.sh" | tail -n 1) || die "vm-setup.sh failed"
[ -f "$cache/.complete" ] || die "vm-setup.sh gave no complete folder"

mkdir -p "$results/.vm"
rm -f "$results/job.rc" "$results/console.log"
: > "$results/job.log"
{
  echo "results $results"
  i=0
  # Sorted, a folder comes before the folders inside it.
  while IFS= read -r s; do
    [ -n "$s" ] || continue
    echo "share$i $s"
    i=$((i + 1))
  done < <(printf '%s\n' "${share_paths[@]+"${share_paths[@]}"}" | LC_ALL=C sort -u)
} > "$results/.vm/mounts"
{
  echo "# Written by vm-run.sh: the job's environment and command line."
  for e in "${envs[@]+"${envs[@]}"}"; do
    name=${e%%=*}
    [[ $e == *=* && $name =~ ^[A-Za-z_][A-Za-z0-9_]*$ ]] || die "--env wants NAME=VALUE, not $e"
    echo "export $name=$(quote "${e#*=}")"
  done
  echo "cd $(quote "$results") || exit 125"
  printf 'exec %s' "$(quote "$job")"
  for a in "$@"; do
    printf ' %s' "$(quote "$a")"
  done
  echo
} > "$results/.vm/run.sh"

share_args=()
i=0
while IFS= read -r line; do
  tag=${line%% *}
  path=${line#* }
  [ "$tag" != results ] || continue
  share_args+=(-virtfs "local,path=$(qemu_value "$path"),mount_tag=$tag,security_model=none,readonly=on,multidevs=remap")
done < "$results/.vm/mounts"

# KVM is used when it can boot this kernel. /dev/kvm may exist where it
# cannot: hosts that are virtual machines themselves without nested hardware
# virtualisation (no vmx or svm flag) may offer a software KVM, such as PVM,
# which runs only kernels built for it, and Debian's kernel hangs there before
# its first message. So: the flag, then a boot straight to power off.
accel_reason=
kvm_boots() {
  if ! [ -r /dev/kvm ] || ! [ -w /dev/kvm ]; then
    accel_reason="no usable /dev/kvm"
    return 1
  fi
  if ! grep -qw -e vmx -e svm /proc/cpuinfo; then
    accel_reason="/dev/kvm exists but the processor shows no vmx or svm flag"
    return 1
  fi
  if ! timeout 20 qemu-system-x86_64 -nographic -monitor none -serial none -no-reboot -nic none \
    -m 256 -accel kvm -cpu host -kernel "$cache/vmlinuz" -initrd "$cache/initrd.cpio.gz" \
    -append "rdinit=/bin/busybox panic=-1 quiet -- poweroff -f" < /dev/null > /dev/null 2>&1; then
    accel_reason="a test boot under KVM did not power off within 20 s"
    return 1
  fi
}
if [ "$accel" = auto ]; then
  if kvm_boots; then
    accel=kvm
  else
    accel=tcg
    echo "vm-run: using TCG: $accel_reason" >&2
  fi
fi
if [ "$accel" = kvm ]; then
  accel_args=(-accel kvm -cpu host)
else
  # Without SMAP: QEMU 7.2's emulated processor reads the frame of an iretq
  # run in user mode (as Wine's system call return does) as the kernel, and
  # with SMAP on that is a page fault that kills the program.
  accel_args=(-accel "tcg,thread=multi" -cpu "${TAMARIND_VM_CPU:-max,-smap}")
fi

append="console=ttyS0 rdinit=/init panic=-1 quiet"
serial_args=(-serial stdio)
if [ -n "$serial2" ]; then
  serial_args+=(-serial "$serial2")
  append+=" tamarind.u16550=1"
fi

echo "vm-run: kernel $(cat "$cache/kernel-version"), accelerator $accel, $smp processors, $mem MB, timeout ${timeout_s} s" >&2
start=$(date +%s.%N)
nice -n 10 timeout -k 5 "$timeout_s" qemu-system-x86_64 \
  -nographic -monitor none "${serial_args[@]}" -no-reboot -nic none \
  -m "$mem" -smp "$smp" "${accel_args[@]}" \
  -kernel "$cache/vmlinuz" -initrd "$cache/initrd.cpio.gz" -append "$append" \
  -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
  -virtfs "local,path=$(qemu_value "$results"),mount_tag=results,security_model=none,multidevs=remap" \
  "${share_args[@]+"${share_args[@]}"}" \
  < /dev/null > "$results/console.log" 2>&1 &
qemu_pid=$!
tail_pid=
trap 'kill "$qemu_pid" $tail_pid 2>/dev/null && wait 2>/dev/null; true' EXIT
trap 'echo "vm-run: interrupted" >&2; exit 130' INT
trap 'echo "vm-run: terminated" >&2; exit 143' TERM

# The job's output as the guest writes it (9p writes reach the host at once);
# tail stops once QEMU has ended and it has read the rest.
tail -n +1 -s 0.2 -f --pid="$qemu_pid" "$results/job.log" &
tail_pid=$!
qemu_rc=0
wait "$qemu_pid" || qemu_rc=$?
wait "$tail_pid" || true
trap - EXIT
end=$(date +%s.%N)
total=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.1f", b - a }')

# The console's last lines without carriage returns and the firmware's
# terminal escapes.
console_end() {
  tail -n 15 "$results/console.log" | tr -d '\r' | sed 's/\x1b\[[0-9;?]*[A-Za-z]//g; s/\x1bc//g'
}
uptime_at() {
  sed -n "s/^init: $1.*uptime=\([0-9.]*\).*/\1/p" "$results/console.log" | tr -d '\r' | head -n 1
}
job_start=$(uptime_at "job start")
job_end=$(uptime_at "job end")
if [ "$qemu_rc" -eq 124 ] || [ "$qemu_rc" -eq 137 ]; then
  if [ -n "$job_start" ]; then
    echo "vm-run: timed out after ${timeout_s} s; the job had started ${job_start} s after boot; the console's end:" >&2
  else
    echo "vm-run: timed out after ${timeout_s} s before the job started; the console's end:" >&2
  fi
  console_end >&2
  exit 124
fi
rc=$(cat "$results/job.rc" 2>/dev/null || true)
if ! [[ $rc =~ ^[0-9]+$ ]]; then
  echo "vm-run: the virtual machine stopped before the job ended (QEMU's exit status $qemu_rc); the console's end:" >&2
  console_end >&2
  exit 125
fi
echo "vm-run: accelerator $accel; job started ${job_start:-?} s after boot, ended at ${job_end:-?} s; exit code $rc; ${total} s in all" >&2
exit "$rc"
