#!/usr/bin/env bash
# Builds and runs the whole test suite, then again with AddressSanitizer and
# UndefinedBehaviorSanitizer in a build folder of its own. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)

scripts/setup.sh build
ctest --test-dir build --output-on-failure -j "$jobs"

scripts/setup.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DREGIONSERVER_SANITIZE=ON
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs"
