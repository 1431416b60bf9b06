#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each for a
# bounded time, starting from seeds made here by the project's own generators.
# Prints executions and coverage per target.
#   fuzz/run.sh [SECONDS_PER_TARGET [TARGET...]]   (default 60 s, every target)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
[ "$seconds" -gt 0 ] || { echo "fuzz/run.sh: give a positive number of seconds" >&2; exit 2; }
build=build-fuzz
export CCACHE_BASEDIR=$(pwd) CCACHE_NOHASHDIR=1
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DTAMARIND_FUZZ=ON -DTAMARIND_SANITIZE=address -DTAMARIND_BUILD_GUI=OFF -DTAMARIND_BUILD_TESTS=OFF \
    -DTAMARIND_BUILD_BENCH=OFF >/dev/null
fi
cmake --build "$build" -j"$(nproc)" --target fuzz_driver_header fuzz_version_block fuzz_incoming \
  image-tool gen_device_images

seeds=$build/seeds
rm -rf "$seeds"
mkdir -p "$seeds"/{driver_header,version_block,incoming}
# Driver images and the version area of an image, made by the generators.
"$build/tools/gen_device_images" "$seeds/images.bin"
for i in 0 1 2 3 5; do
  dd if="$seeds/images.bin" of="$seeds/driver_header/driver$i" bs=4096 skip=$i count=1 status=none
done
"$build/tools/image-tool" make "$seeds/image.rom" --size 0x40000 >/dev/null
dd if="$seeds/image.rom" of="$seeds/version_block/area" bs=4096 skip=31 count=2 status=none
dd if="$seeds/image.rom" of="$seeds/version_block/head" bs=4096 count=33 status=none
# Replies, each after the byte that picks the situation: identify replies
# (full speed and 6 bytes) during a scan, status 0 and 2 while programming,
# and a data packet while reading.
printf '\x02\xf0\x00\x20\x54\x7d\x09\x00\x01\xf7\xf0\x00\x20\x54\x7d\x09\x00\xf7' > "$seeds/incoming/identify"
printf '\x01\xf0\x00\x20\x54\x7d\x00\x00\xf7\xf0\x00\x20\x54\x7d\x00\x02\xf7' > "$seeds/incoming/status"
printf '\x00\xf0\x00\x20\x54\x7d\x01\x00\x01\x02\x03\x04\x05\x06\x07\x7f\x11\x22\x03\xf7' > "$seeds/incoming/packet"

failed=0
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
targets=("${@:2}")
[ ${#targets[@]} -gt 0 ] || targets=(driver_header version_block incoming)
for target in "${targets[@]}"; do
  mkdir -p "$build/corpus/$target"
  log="$build/fuzz_$target.log"
  if "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -max_len=140000 -print_final_stats=1 \
       -artifact_prefix="$build/crash_${target}_" "$build/corpus/$target" "$seeds/$target" >"$log" 2>&1; then
    status=ok
  else
    status=FAILED
    failed=1
  fi
  execs=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | awk '{print $2}')
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 | awk '{print $2}')
  echo "fuzz $target: $status, ${execs:-?} executions, coverage ${cov:-?} edges in ${seconds} s"
  [ "$status" = ok ] || tail -n 40 "$log"
done
exit $failed
