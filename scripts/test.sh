#!/usr/bin/env bash
# Builds and runs the whole test suite with warnings as errors, checks the format and that the
# includes keep to the layers, then runs it again with AddressSanitizer and
# UndefinedBehaviorSanitizer in a build folder of its own, then the threaded tests under
# ThreadSanitizer in a third, then each fuzz target for a short while. Exits non-zero on any
# failure.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)

scripts/setup.sh build -DREGIONSERVER_WARNINGS_AS_ERRORS=ON

# The tree follows .clang-format.
git ls-files -z '*.h' '*.cpp' | xargs -0 clang-format-14 --dry-run --Werror

# Every #include "..." names a header of its own library or of one it links.
scripts/check-includes.py

ctest --test-dir build --output-on-failure -j "$jobs"

scripts/setup.sh build-asan -DCMAKE_BUILD_TYPE=Asan -DREGIONSERVER_WARNINGS_AS_ERRORS=ON
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs"

# The layers with threads: the live network's I/O thread, and the servers, coordinator and bots
# the tests start (built alike; a report of theirs fails the test that started them). Only those
# are built.
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Tsan -DREGIONSERVER_WARNINGS_AS_ERRORS=ON >/dev/null
cmake --build build-tsan --target wire_tests world_tests server_tests process_tests regionserver standin-coordinator \
  standin-bot
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:exitcode=66 \
  ctest --test-dir build-tsan -L '^(wire|world|server|process)$' --output-on-failure -j "$jobs"

# A bounded run of each fuzz target of the networking input; a crash fails the script.
scripts/fuzz.sh 20
