#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for a bounded time on a copy of its
# seed folder, so that the repository is never modified. Prints each target's
# figures (total runs, inputs per second) and fails on any crash; the crashing
# input is kept in build-fuzz/artifacts/<target>/.
#   LW_FUZZ_SECONDS  run time of every target in seconds (default: the per-target
#                    time below)
set -euo pipefail
cd "$(dirname "$0")/../.."

build="build-fuzz"

# One line per target: name, seconds, seed folder ("-" for none), longest input.
targets=(
  "discovery_frames_fuzz 60 tests/fuzz/corpus 2048"
  "network_text_fuzz 30 tests/fuzz/corpus 2048"
  "elevated_helper_fuzz 30 tests/fuzz/elevated_corpus 16384"
  "capture_request_fuzz 30 tests/fuzz/capture_corpus 1600"
)

# The helper fuzzer resets a temporary store for every input: keep it in
# memory where there is /dev/shm (no disk syncs).
if [ -w /dev/shm ]; then export LW_FUZZ_DIR=/dev/shm; fi

names=()
for line in "${targets[@]}"; do
  read -r name _ <<<"$line"
  names+=("$name")
done

CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DLW_BUILD_FUZZERS=ON -DLW_BUILD_TESTS=OFF -DLW_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$build" --target "${names[@]}" -j "$(nproc)"

# Reads one figure from libFuzzer's final statistics.
stat() { sed -n "s/^stat::$1: *//p" "$2" | tail -n 1; }

summary=()
failed=0
for line in "${targets[@]}"; do
  read -r name seconds seeds max_len <<<"$line"
  seconds=${LW_FUZZ_SECONDS:-$seconds}
  corpus="$build/fuzz-corpus/$name"
  artifacts="$build/artifacts/$name"
  log="$build/$name.log"
  rm -rf "$corpus"
  mkdir -p "$corpus" "$artifacts"
  if [ "$seeds" != "-" ]; then
    cp "$seeds"/* "$corpus/"
  fi
  set +e
  "$build/tests/fuzz/$name" "$corpus" \
    -max_total_time="$seconds" -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$artifacts/" -print_final_stats=1 >"$log" 2>&1
  status=$?
  set -e
  runs=$(stat number_of_executed_units "$log")
  rate=$(stat average_exec_per_sec "$log")
  if [ "$status" -ne 0 ]; then
    tail -n 40 "$log"
    echo "fuzz: $name failed (exit $status); inputs in $artifacts/" >&2
    summary+=("$(printf '%-24s FAILED after %s runs' "$name" "${runs:-?}")")
    failed=1
  else
    summary+=("$(printf '%-24s %4s s %12s runs %9s inputs/s' "$name" "$seconds" "$runs" "$rate")")
  fi
done

echo "fuzz figures:"
printf '  %s\n' "${summary[@]}"
exit "$failed"
