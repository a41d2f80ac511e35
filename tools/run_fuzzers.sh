#!/usr/bin/env bash
# Builds the libFuzzer targets (tests/fuzz) and runs each: first every
# committed corpus file once, then fuzzing for a fixed time from a scratch
# corpus under the build directory. Prints per target the executions, the
# final edge coverage and the findings.
#
#   tools/run_fuzzers.sh BUILD_DIR [SECONDS_PER_TARGET]     (default 60)
#
# Environment: FUZZ_TARGETS (e.g. "model_reader process") runs only those;
# JOBS sets the build's parallelism (default: the processor count).
#
# Exit status: 0 when every replay passed and fuzzing found nothing, 1 when a
# committed input crashes or fuzzing left a finding, 2 on a usage or build
# error. Findings are kept in BUILD_DIR/fuzz-findings/<target>/, logs in
# BUILD_DIR/fuzz-logs/, the grown corpora in BUILD_DIR/fuzz-corpus/<target>/.
set -uo pipefail

usage() {
  echo "usage: $0 BUILD_DIR [SECONDS_PER_TARGET]" >&2
  exit 2
}
[[ $# -ge 1 && $# -le 2 ]] || usage
seconds=${2:-60}
[[ $seconds =~ ^[0-9]+$ ]] || usage

source_dir=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$1" || exit 2
build_dir=$(cd "$1" && pwd)
jobs=${JOBS:-$(nproc)}

all_targets=(model_reader process device_string graph_interpreter audio_decode)
read -r -a targets <<< "${FUZZ_TARGETS:-${all_targets[*]}}"

# Inputs beyond these lengths add time, not paths: a model of a few KB
# reaches every record, one frame of samples is all the engine takes.
max_len_of() {
  case $1 in
    model_reader) echo 8192 ;;
    process) echo 65537 ;;  # the selector byte and 32768 samples
    device_string) echo 64 ;;
    graph_interpreter) echo 4096 ;;
    audio_decode) echo 16384 ;;
    *) echo 4096 ;;
  esac
}

# ---- Configure and build -----------------------------------------------------
sanitize="-fsanitize=address,undefined -fno-sanitize-recover=all -fsanitize=fuzzer-no-link"
if [[ ! -f $build_dir/CMakeCache.txt ]]; then
  # -O1 -g without NDEBUG: the library's assertions stay in.
  CC=clang CXX=clang++ cmake -S "$source_dir" -B "$build_dir" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" \
    -DCMAKE_C_FLAGS="$sanitize -fno-omit-frame-pointer" \
    -DCMAKE_CXX_FLAGS="$sanitize -fno-omit-frame-pointer" \
    -DQX_ORB_BUILD_FUZZERS=ON -DQX_ORB_BUILD_TESTS=OFF -DQX_ORB_BUILD_BENCH=OFF \
    -DQX_ORB_BUILD_APPS=OFF > "$build_dir/fuzz-configure.log" 2>&1 || {
      cat "$build_dir/fuzz-configure.log" >&2
      echo "configure failed" >&2
      exit 2
    }
fi
if ! grep -q '^CMAKE_CXX_COMPILER:.*clang' "$build_dir/CMakeCache.txt" ||
   ! grep -q '^CMAKE_CXX_FLAGS:.*fuzzer-no-link' "$build_dir/CMakeCache.txt"; then
  echo "$build_dir was configured without clang's fuzzer instrumentation; use a new directory" >&2
  exit 2
fi
# An existing directory may lack the option; turning it on keeps the rest.
cmake -S "$source_dir" -B "$build_dir" -DQX_ORB_BUILD_FUZZERS=ON > /dev/null || exit 2
cmake --build "$build_dir" -j"$jobs" --target fuzzers || { echo "build failed" >&2; exit 2; }

# ---- Replay, then fuzz ---------------------------------------------------------
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
common=(-timeout=10 -rss_limit_mb=2048)
logs=$build_dir/fuzz-logs
mkdir -p "$logs"
status=0
summary=()

for target in "${targets[@]}"; do
  binary=$build_dir/tests/fuzz/fuzz_$target
  seeds=$source_dir/tests/fuzz/corpus/$target
  if [[ ! -x $binary ]]; then
    echo "== $target: not built (see the configure output), skipped"
    summary+=("$(printf '%-18s %12s %10s  %s' "$target" - - "not built")")
    continue
  fi
  findings_dir=$build_dir/fuzz-findings/$target
  corpus=$build_dir/fuzz-corpus/$target
  mkdir -p "$findings_dir" "$corpus"

  echo "== $target: replaying the committed corpus"
  replay_note="replay ok"
  mapfile -t seed_files < <(find "$seeds" -type f | sort)
  if ((${#seed_files[@]})); then
    if ! "$binary" "${common[@]}" "${seed_files[@]}" > "$logs/$target.replay.log" 2>&1; then
      tail -n 40 "$logs/$target.replay.log"
      echo "$target: a committed corpus file fails (log: $logs/$target.replay.log)" >&2
      replay_note="REPLAY FAILED"
      status=1
    fi
    cp -n "${seed_files[@]}" "$corpus/" 2>/dev/null
  fi

  echo "== $target: fuzzing for ${seconds} s"
  before=$(find "$findings_dir" -type f ! -name 'slow-unit-*' | wc -l)
  # libFuzzer stops at max_total_time; the outer limit only guards against
  # an input that outlives its own -timeout.
  timeout --kill-after=10 $((seconds + 60)) "$binary" "${common[@]}" \
    -max_len="$(max_len_of "$target")" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$findings_dir/" "$corpus" > "$logs/$target.log" 2>&1
  after=$(find "$findings_dir" -type f ! -name 'slow-unit-*' | wc -l)
  executions=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$logs/$target.log" | tail -n 1 |
               grep -o '[0-9]*$')
  if [[ -z $executions ]]; then
    executions=$(grep -o '^#[0-9]*' "$logs/$target.log" | tail -n 1 | tr -d '#')
  fi
  coverage=$(grep -o 'cov: [0-9]*' "$logs/$target.log" | tail -n 1 | grep -o '[0-9]*$')
  new=$((after - before))
  if ((new > 0)); then
    status=1
    grep -E 'ERROR|SUMMARY|qx fuzz finding|runtime error' "$logs/$target.log" | head -n 5
    echo "$target: $new finding(s) in $findings_dir (log: $logs/$target.log)"
  fi
  summary+=("$(printf '%-18s %12s %10s  %s, %d finding(s)' "$target" "${executions:-?}" \
                      "${coverage:-?}" "$replay_note" "$new")")
done

echo
printf '%-18s %12s %10s  %s\n' target executions "cov edges" result
for line in "${summary[@]}"; do echo "$line"; done
exit $status
