#!/usr/bin/env bash
# Builds the libFuzzer targets of the networking input (clang, ASan, UBSan) into build-fuzz/
# and runs each for the given seconds (default 300) on a scratch copy of its seed corpus in
# Fuzz/corpus/, which never grows. Crash inputs stay in the scratch folder; the script prints
# where, and exits non-zero when any target found one. Without findings the scratch folder is
# removed, unless FUZZ_KEEP=1 (to keep the grown corpora). Usage: scripts/fuzz.sh [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/packages.sh

seconds=${1:-300}
targets=(fuzz_datagram fuzz_stream fuzz_receive_path)

# What the fuzz build needs, installed as scripts/setup.sh does: clang's libFuzzer and sanitizer
# runtimes besides the project's own build dependencies.
packages=(cmake ninja-build clang-14 libclang-rt-14-dev
  libboost-dev libboost-thread-dev libboost-system-dev libboost-program-options-dev
  libboost-date-time-dev libprotobuf-dev protobuf-compiler libgtest-dev libgmock-dev)
install_missing fuzz "${packages[@]}"

build=build-fuzz
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Fuzz -DCMAKE_CXX_COMPILER=clang++-14 \
  -DREGIONSERVER_WARNINGS_AS_ERRORS=ON >/dev/null
cmake --build "$build" --target "${targets[@]}"

scratch=$(mktemp -d "${TMPDIR:-/tmp}/regionserver-fuzz.XXXXXX")
echo "fuzz: ${seconds} s per target, scratch folder $scratch"
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
failed=0
for target in "${targets[@]}"; do
  dir="$scratch/$target"
  mkdir -p "$dir/corpus" "$dir/artifacts"
  cp Fuzz/corpus/"$target"/* "$dir/corpus/"
  # Standard output carries the server's diagnostic lines, one or more per input: closed.
  # A step that blocks for 10 s counts as a finding.
  status=0
  "$build/fuzz/$target" -max_total_time="$seconds" -timeout=10 -close_fd_mask=1 -print_final_stats=1 \
    -artifact_prefix="$dir/artifacts/" "$dir/corpus" >"$dir/log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$dir/log")
  if [ "$status" -eq 0 ]; then
    echo "fuzz: $target: ok, ${runs:-?} runs, ${rate:-?} exec/s"
  else
    failed=1
    echo "fuzz: $target: FAILED (status $status) after ${runs:-?} runs; log $dir/log"
    tail -n 60 "$dir/log" | sed 's/^/    /'
    for artifact in "$dir"/artifacts/*; do
      [ -e "$artifact" ] && echo "fuzz: $target: reproducer $artifact (replay: $build/fuzz/$target $artifact)"
    done
  fi
done
if [ "$failed" -eq 0 ] && [ "${FUZZ_KEEP:-0}" != 1 ]; then
  rm -rf "$scratch"
fi
exit $failed
