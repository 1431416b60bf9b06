#!/usr/bin/env bash
# Sets up, builds and runs every benchmark, and writes their figures to one
# plain-text report (build/bench-report.txt, or the path given).
#   bench/run.sh [REPORT]
# Environment: TAMARIND_BENCH_RUNS (runs per figure, default 5).
set -euo pipefail
cd "$(dirname "$0")/.."
./setup.sh
./build.sh
build=${TAMARIND_BUILD_DIR:-build}
report=${1:-$build/bench-report.txt}
runs=${TAMARIND_BENCH_RUNS:-5}
app=$build/app/Tamarind_artefacts/RelWithDebInfo/Tamarind
{
  echo "Tamarind benchmarks, $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, $(uname -m)"
  echo
  # The in-process update needs no display; naming none keeps JUCE off ":0".
  DISPLAY=:none "$build/bench/bench_update" "$runs"
  echo
  "$build/bench/bench_codec" --benchmark_repetitions="$runs" --benchmark_report_aggregates_only=true \
    --benchmark_color=false 2>&1 | sed -n '/^codec on/,$p'
  echo
  "$build/bench/bench_summary" 256 "$runs"
  echo
  python3 bench/memory.py --app "$app" --virtual-piano "$build/virtual-piano" --image-tool "$build/tools/image-tool"
} 2>&1 | tee "$report"
echo "report written to $report"
