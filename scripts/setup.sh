#!/usr/bin/env bash
# Installs the Debian packages the project needs (quietly, and only what is missing),
# then configures and builds. Usage: scripts/setup.sh [build-dir] [extra cmake args...]
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake ninja-build g++ pkg-config
  libboost-dev libboost-thread-dev libboost-system-dev libboost-program-options-dev
  libboost-date-time-dev libprotobuf-dev protobuf-compiler libgtest-dev libgmock-dev libbenchmark-dev
  python3 clang-14 libclang-rt-14-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

build=${1:-build}
shift || true
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$build" -- -k 0
