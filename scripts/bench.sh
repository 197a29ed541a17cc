#!/usr/bin/env bash
# Load benchmark: the stand-in coordinator, one region server and then two with a border, and
# `botclient` with N wandering, steering bots, for each N. Per run it reports what the servers'
# measurement files say over the run after a warm-up (frames per second, the server's CPU figure,
# UDP packets and bytes sent and broadcast packets dropped, each per second), the datagrams the
# kernel dropped at each server's game socket over the whole run, and the bots' round trips and
# share of pings answered.
# With --micro it runs the micro-benchmarks (framing, the send step, the receive path) instead.
# Usage: scripts/bench.sh [--bots "50 200 500 1000"] [--seconds 30] [--warmup 10] [--build DIR] [--micro]
set -euo pipefail
cd "$(dirname "$0")/.."

counts="50 200 500 1000"
seconds=30
warmup=10
build=build
micro=0
usage='usage: scripts/bench.sh [--bots "50 200 500 1000"] [--seconds S] [--warmup W] [--build DIR] [--micro]'
while [ $# -gt 0 ]; do
  case "$1" in
    --bots) counts=${2:-}; shift 2 || shift ;;
    --seconds) seconds=${2:-}; shift 2 || shift ;;
    --warmup) warmup=${2:-}; shift 2 || shift ;;
    --build) build=${2:-}; shift 2 || shift ;;
    --micro) micro=1; shift ;;
    -h|--help)
      echo "$usage"
      echo "  --micro: run the micro-benchmarks (bench_framing, bench_send_step, bench_receive_path), not the load runs"
      exit 0 ;;
    *) echo "bench: unknown option '$1'"; exit 2 ;;
  esac
done
for n in $counts "$seconds" "$warmup"; do
  [[ "$n" =~ ^[0-9]+$ ]] || { echo "bench: '$n' is not a whole number"; exit 2; }
done
[ "$warmup" -lt "$seconds" ] || { echo "bench: the warm-up must be shorter than the run"; exit 2; }

scripts/setup.sh "$build" >/dev/null

if [ "$micro" -eq 1 ]; then
  programs=("$build/bench_framing" "$build/bench_send_step" "$build/bench_receive_path")
  for program in "${programs[@]}"; do
    [ -x "$program" ] || { echo "bench: $program not built"; exit 1; }
  done
  for program in "${programs[@]}"; do
    "$program"
    echo
  done
  exit 0
fi

tool=bench
out=$(mktemp -d "${TMPDIR:-/tmp}/regionserver-bench.XXXXXX")
source scripts/lib/processes.sh
trap 'stop_processes' EXIT
trap 'echo; echo "bench: interrupted"; exit 130' INT TERM

# The regions: 1000-unit cubes; with two servers they touch at x = 1000 and the bots wander
# over both, so they are handed over back and forth.
one_server=(--region 1:0,0,0:1000,1000,1000)
two_servers=(--region 1:0,0,0:1000,1000,1000 --region 2:1000,0,0:2000,1000,1000)
two_area=50,50,50:1950,950,950

# averages <csv> <first line> <last line>: "fps cpu udp-packets udp-bytes dropped", each a
# second's average over the measurement lines in that range (columns: 20 UDP pkg sent, 24 UDP bw
# sent, 29 CPU, 31 FPS, 40 Dropped UDP Pgk, which counts since the line before; the header lines
# are skipped).
averages() {
  awk -F, -v first="$2" -v last="$3" '
    NR >= first && NR <= last && $1 ~ /^ *[0-9]+$/ {
      n++; fps += $31; cpu += $29; packets += $20; bytes += $24; dropped += $40
    }
    END {
      if (n == 0) { print "- - - - -"; exit }
      printf "%.1f %.0f %.0f %.0f %.0f\n", fps / n, cpu / n, packets / n, bytes / n, dropped / n
    }' "$1"
}

# socket_drops <port>: the kernel's count of datagrams dropped at the UDP socket bound to the
# port on all addresses, or "-" when there is none (the last column of /proc/net/udp).
socket_drops() {
  awk -v local="$(printf '00000000:%04X' "$1")" '
    $2 == local { drops += $NF; found = 1 }
    END { if (found) print drops; else print "-" }' /proc/net/udp
}

rows=()
# run <setup name> <servers> <bots>
run() {
  local setup=$1 servers=$2 bots=$3 id
  logs="$out/$setup-$bots"
  mkdir -p "$logs"
  pick_game_ports
  if [ "$servers" -eq 1 ]; then start_coordinator "${one_server[@]}"; else start_coordinator "${two_servers[@]}"; fi
  local ports=""
  for ((id = 1; id <= servers; ++id)); do
    start "server-$id" "$build/regionserver" --server-id "$id" --port $((game_port + id - 1)) \
      --coord-host 127.0.0.1 --coord-port "$coord_port" --enable-console false --log true --stats "$logs/server-$id.csv"
    wait_for coordinator "map sent to server $id" 15
    ports+="${ports:+,}$((game_port + id - 1))"
  done
  [ "$servers" -eq 1 ] || wait_for server-1 "Connected to server 2" 15
  local area=()
  [ "$servers" -eq 1 ] || area=(--area "$two_area")
  start bots "$build/botclient" --bots "$bots" --port "$ports" --seconds "$seconds" --warmup "$warmup" --speed 40 \
    --threads 4 "${area[@]}"
  wait_for bots "bots started" 60
  sleep "$warmup"
  local first=()
  for ((id = 1; id <= servers; ++id)); do first[id]=$(($(wc -l <"$logs/server-$id.csv") + 1)); done
  local i
  for ((i = 0; i < (seconds + 30) * 5; ++i)); do
    grep -q "^summary: " "$logs/bots.log" && break
    sleep 0.2
  done
  local summary
  summary=$(grep "^summary: " "$logs/bots.log" || echo "summary: none")
  # The sockets go with the servers: read their counts first.
  local drops=()
  for ((id = 1; id <= servers; ++id)); do drops[id]=$(socket_drops $((game_port + id - 1))); done
  stop_processes
  local median p99 handovers answered
  median=$(sed -n 's/.*median \([0-9.]*\) ms.*/\1/p' <<<"$summary")
  p99=$(sed -n 's/.*99th percentile \([0-9.]*\) ms.*/\1/p' <<<"$summary")
  handovers=$(sed -n 's/.* \([0-9]*\) hand-overs.*/\1/p' <<<"$summary")
  answered=$(sed -n 's/.* answered (\([0-9.]*%\)).*/\1/p' <<<"$summary")
  for ((id = 1; id <= servers; ++id)); do
    local fps cpu packets bytes dropped last
    last=$(wc -l <"$logs/server-$id.csv")
    read -r fps cpu packets bytes dropped <<<"$(averages "$logs/server-$id.csv" "${first[id]}" "$last")"
    rows+=("| $setup | $bots | $id | $fps | $cpu | $packets | $bytes | $dropped | ${drops[id]} | ${answered:--} | ${median:--} | ${p99:--} | ${handovers:--} |")
  done
  echo "bench: $setup, $bots bots: ${rows[-1]}"
}

for bots in $counts; do run "one server" 1 "$bots"; done
for bots in $counts; do run "two servers" 2 "$bots"; done

echo
echo "Measured over ${seconds} s runs less a ${warmup} s warm-up, on $(nproc) cores," \
  "$(sed -n 's/^model name[^:]*: //p' /proc/cpuinfo | head -n 1), $(date -u +%Y-%m-%d):"
echo
echo "| setup | bots | server | frames/s | CPU figure | UDP packets sent/s | UDP bytes sent/s | broadcast packets dropped/s |" \
  "socket drops | pings answered | round trip median ms | round trip 99th % ms | hand-overs |"
echo "|---|---|---|---|---|---|---|---|---|---|---|---|---|"
printf '%s\n' "${rows[@]}"
echo
echo "bench: logs in $out"
