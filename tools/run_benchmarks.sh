#!/usr/bin/env bash
# Runs every benchmark program of a build with 5 repetitions, keeps the JSON
# reports, and prints the medians that matter and the targets, each "met"
# or "not met" (tools/benchmark_summary.py lists them): each kernel against
# its reference operator, the dense layers against the peak
# multiply-accumulate rate, whole frames against their time budget, with
# kernels against reference operators only and on one thread against two,
# the detector against WebRTC's voice detector, N engines on N threads.
#
# Whole frames run on the bundled model (models/default.qx) unless
# QX_BENCH_MODEL names another.
#
#   tools/run_benchmarks.sh [build directory, default build] [benchmark flags...]
#
# The build must have the benchmarks (Google Benchmark installed, the
# default). The machine's load is printed first: ratios are only worth
# comparing from runs on an otherwise idle machine.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
shift || true
results="$build/benchmark_results"
mkdir -p "$results"
export QX_BENCH_MODEL="${QX_BENCH_MODEL:-$PWD/models/default.qx}"
echo "model: $QX_BENCH_MODEL"
echo "load before: $(cat /proc/loadavg 2>/dev/null || uptime)"
# Repetitions of a program's benchmarks are interleaved in random order, so
# that a busy spell of a shared machine spreads over several benchmarks
# instead of landing on every repetition of one.
for program in "$build"/bench/*_bench; do
  name=$(basename "$program")
  echo "== $name"
  "$program" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
    --benchmark_enable_random_interleaving=true \
    --benchmark_out="$results/$name.json" --benchmark_out_format=json "$@"
done
echo "load after: $(cat /proc/loadavg 2>/dev/null || uptime)"
python3 tools/benchmark_summary.py "$results"/*.json
