#!/usr/bin/env bash
# Builds the discovery-frame fuzzer with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) and runs it for a bounded time on a copy of the
# seed corpus, so that the repository is never modified. Fails on any crash;
# the crashing input is kept in build-fuzz/artifacts/.
#   LW_FUZZ_SECONDS  run time in seconds (default 60)
set -euo pipefail
cd "$(dirname "$0")/../.."

seconds=${LW_FUZZ_SECONDS:-60}
build=build-fuzz

CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DLW_BUILD_FUZZERS=ON -DLW_BUILD_TESTS=OFF -DLW_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$build" --target discovery_frames_fuzz elevated_helper_fuzz -j "$(nproc)"

corpus="$build/fuzz-corpus"
rm -rf "$corpus"
mkdir -p "$corpus" "$build/artifacts"
cp tests/fuzz/corpus/* "$corpus/"

# Frames up to a full 1518-byte capture and somewhat beyond.
log="$build/fuzz.log"
set +e
"$build/tests/fuzz/discovery_frames_fuzz" "$corpus" \
  -max_total_time="$seconds" -max_len=2048 -timeout=10 -rss_limit_mb=2048 \
  -artifact_prefix="$build/artifacts/" -print_final_stats=1 >"$log" 2>&1
status=$?
set -e
tail -n 30 "$log"
if [ "$status" -ne 0 ]; then
  echo "fuzz: discovery_frames_fuzz failed (exit $status); inputs in $build/artifacts/" >&2
  exit "$status"
fi
echo "fuzz: discovery_frames_fuzz ran ${seconds} s without a finding"

# The elevated helper's request loop and allow-list, for half that time, on a
# temporary store in /dev/shm where there is one (no disk syncs).
mkdir -p "$build/elevated-corpus"
if [ -w /dev/shm ]; then export LW_FUZZ_DIR=/dev/shm; fi
"$build/tests/fuzz/elevated_helper_fuzz" "$build/elevated-corpus" tests/fuzz/elevated_corpus -max_total_time=$((seconds / 2)) -max_len=16384 -timeout=10 -rss_limit_mb=2048 -artifact_prefix="$build/artifacts/" -print_final_stats=1 >"$build/fuzz-elevated.log" 2>&1 || { tail -n 30 "$build/fuzz-elevated.log"; echo "fuzz: elevated_helper_fuzz failed; inputs in $build/artifacts/" >&2; exit 1; }
echo "fuzz: elevated_helper_fuzz ran $((seconds / 2)) s without a finding"
