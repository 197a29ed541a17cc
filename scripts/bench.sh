#!/usr/bin/env bash
# Load benchmark: the stand-in coordinator, one region server and then two with a border, and
# `botclient` with N wandering, steering bots, for each N; with --fire every bot also fires once
# a second (the battle), by default on one server only. Per run it reports what the servers'
# measurement files say over the measured window (frames per second, the server's CPU figure,
# UDP packets and bytes sent and broadcast packets dropped, each per second), the CPU time of the
# server's main thread and of its I/O thread over the same window, the datagrams the kernel
# dropped at each server's game socket over the whole run, the bots' round trips and share of
# pings answered, and the bots' own CPU time (a load generator near its limit shows there). The
# measured window runs from the end of the warm-up to a second before the bots stop.
# What the clients see (from the bots' summary, over their own window from the end of the
# warm-up to their stop): for every bot and every ship it was told of, the longest time between
# two state updates of that ship; the row gives the pairs that had none at all, and the median,
# 99th percentile and maximum of those longest gaps.
# With --micro it runs the micro-benchmarks (framing, the send step, the receive path, the frame's
# index look-ups) instead.
# Usage: scripts/bench.sh [--fire] [--bots "50 200 500 1000"] [--seconds 30] [--warmup 10]
#                         [--setup one|two|both] [--bot-threads 4] [--build DIR] [--micro]
set -euo pipefail
cd "$(dirname "$0")/.."

counts=""
seconds=30
warmup=10
build=build
micro=0
fire=0
setup=""
bot_threads=4
usage='usage: scripts/bench.sh [--fire] [--bots "50 200 500 1000"] [--seconds S] [--warmup W] [--setup one|two|both] [--bot-threads T] [--build DIR] [--micro]'
while [ $# -gt 0 ]; do
  case "$1" in
    --bots) counts=${2:-}; shift 2 || shift ;;
    --fire) fire=1; shift ;;
    --setup) setup=${2:-}; shift 2 || shift ;;
    --bot-threads) bot_threads=${2:-}; shift 2 || shift ;;
    --seconds) seconds=${2:-}; shift 2 || shift ;;
    --warmup) warmup=${2:-}; shift 2 || shift ;;
    --build) build=${2:-}; shift 2 || shift ;;
    --micro) micro=1; shift ;;
    -h|--help)
      echo "$usage"
      echo "  --fire: every bot fires once a second; the bots default to \"200 500 1000 2000\" and the setup to one"
      echo "  --setup: one server, two servers with a border, or both (the default without --fire)"
      echo "  --micro: run the micro-benchmarks (bench_framing, bench_send_step, bench_receive_path, bench_frame), not the load runs"
      exit 0 ;;
    *) echo "bench: unknown option '$1'"; exit 2 ;;
  esac
done
if [ -z "$counts" ]; then
  if [ "$fire" -eq 1 ]; then counts="200 500 1000 2000"; else counts="50 200 500 1000"; fi
fi
if [ -z "$setup" ]; then
  if [ "$fire" -eq 1 ]; then setup=one; else setup=both; fi
fi
case "$setup" in
  one|two|both) ;;
  *) echo "bench: --setup is one, two or both, not '$setup'"; exit 2 ;;
esac
for n in $counts "$seconds" "$bot_threads"; do
  [[ "$n" =~ ^[0-9]+$ ]] && [ "$n" -gt 0 ] || { echo "bench: '$n' is not a whole number above 0"; exit 2; }
done
[[ "$warmup" =~ ^[0-9]+$ ]] || { echo "bench: '$warmup' is not a whole number"; exit 2; }
[ "$warmup" -lt "$seconds" ] || { echo "bench: the warm-up must be shorter than the run"; exit 2; }

# Every bot holds a TCP connection and a UDP socket, and the server a connection per bot: raise
# the soft limit of open files (the processes started below inherit it) when the largest run
# needs more.
tool=bench
source scripts/lib/processes.sh
most=0
for n in $counts; do [ "$n" -le "$most" ] || most=$n; done
raise_open_files $((2 * most + 256)) "$most bots"

scripts/setup.sh "$build" >/dev/null

if [ "$micro" -eq 1 ]; then
  programs=("$build/bench_framing" "$build/bench_send_step" "$build/bench_receive_path" "$build/bench_frame")
  for program in "${programs[@]}"; do
    [ -x "$program" ] || { echo "bench: $program not built"; exit 1; }
  done
  for program in "${programs[@]}"; do
    "$program"
    echo
  done
  exit 0
fi

out=$(mktemp -d "${TMPDIR:-/tmp}/regionserver-bench.XXXXXX")
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

# thread_ticks <pid>: one line "tid ticks" per thread of the process, ticks being its user and
# system CPU time in clock ticks (fields 14 and 15 of its stat; the name in field 2 is in
# parentheses and may hold blanks, so the fields are counted from its end). Into `ticks`,
# without a subshell, so that a sample takes little time on a busy machine.
thread_ticks() {
  local stat line fields
  ticks=""
  for stat in /proc/"$1"/task/*/stat; do
    read -r line <"$stat" 2>/dev/null || continue
    # What follows the name starts with field 3 (the state): utime and stime are its 12th and
    # 13th words.
    read -r -a fields <<<"${line##*) }"
    ticks+="${line%% *} $((fields[11] + fields[12]))"$'\n'
  done
}

# thread_cpu <pid> <ticks at the start> <ticks at the end> <seconds>: "main io", each thread's
# CPU time over the window in per cent of one core. The main thread's id is the process id; the
# I/O thread is the busiest of the others (with the console off the server runs no other thread).
thread_cpu() {
  awk -v main="$1" -v hz="$(getconf CLK_TCK)" -v wall="$4" '
    FNR == NR { start[$1] = $2; next }
    { used = $2 - ($1 in start ? start[$1] : 0)
      if ($1 == main) m = used; else if (used > io) io = used }
    END {
      if (wall <= 0 || m == "") { print "- -"; exit }
      printf "%.0f %.0f\n", 100 * m / hz / wall, 100 * io / hz / wall
    }' <(printf '%s\n' "$2") <(printf '%s\n' "$3")
}

# process_ticks <pid>: into `ticks`, the process's user and system CPU time in clock ticks,
# its threads together, ended ones included; empty when it has gone.
process_ticks() {
  local line fields
  ticks=""
  read -r line <"/proc/$1/stat" 2>/dev/null || return 0
  read -r -a fields <<<"${line##*) }"
  ticks=$((fields[11] + fields[12]))
}

# csv_lines <file>: into `lines`, the number of lines of the file.
csv_lines() {
  local all
  mapfile -t all <"$1"
  lines=${#all[@]}
}

# percent_of_core <ticks> <seconds>
percent_of_core() {
  awk -v ticks="$1" -v hz="$(getconf CLK_TCK)" -v wall="$2" \
    'BEGIN { if (ticks == "" || wall <= 0) print "-"; else printf "%.0f\n", 100 * ticks / hz / wall }'
}

rows=()
# run <setup name> <servers> <bots>
run() {
  local setup=$1 servers=$2 bots=$3 id
  logs="$out/$setup-$bots"
  mkdir -p "$logs"
  pick_game_ports
  if [ "$servers" -eq 1 ]; then start_coordinator "${one_server[@]}"; else start_coordinator "${two_servers[@]}"; fi
  local ports="" server_pids=()
  for ((id = 1; id <= servers; ++id)); do
    start "server-$id" "$build/regionserver" --server-id "$id" --port $((game_port + id - 1)) \
      --coord-host 127.0.0.1 --coord-port "$coord_port" --enable-console false --log true --stats "$logs/server-$id.csv"
    server_pids[id]=${pids[-1]}
    wait_for coordinator "map sent to server $id" 15
    ports+="${ports:+,}$((game_port + id - 1))"
  done
  [ "$servers" -eq 1 ] || wait_for server-1 "Connected to server 2" 15
  local options=()
  [ "$servers" -eq 1 ] || options+=(--area "$two_area")
  [ "$fire" -eq 0 ] || options+=(--fire)
  start bots "$build/botclient" --bots "$bots" --port "$ports" --seconds "$seconds" --warmup "$warmup" --speed 40 \
    --threads "$bot_threads" "${options[@]}"
  local bots_pid=${pids[-1]}
  # The bots' clocks start when they say so (this sees it within a tenth of a second).
  wait_for bots "bots started" 120
  local started=$EPOCHREALTIME
  sleep "$warmup"
  # The window's start: the servers' lines so far, and the CPU times of their threads and of the
  # bots.
  local first=() ticks_before=() window_start bots_before ticks lines
  window_start=$EPOCHREALTIME
  for ((id = 1; id <= servers; ++id)); do
    csv_lines "$logs/server-$id.csv"
    first[id]=$((lines + 1))
    thread_ticks "${server_pids[id]}"
    ticks_before[id]=$ticks
  done
  process_ticks "$bots_pid"
  bots_before=$ticks
  # The window's end: a second before the bots stop, so that however late this wakes on a busy
  # machine their goodbyes are not in it.
  sleep "$(awk -v started="$started" -v seconds="$seconds" -v now="$EPOCHREALTIME" \
    'BEGIN { d = started + seconds - 1 - now; printf "%.3f\n", (d > 0 ? d : 0) }')"
  local last=() ticks_after=() window bots_after window_end=$EPOCHREALTIME
  for ((id = 1; id <= servers; ++id)); do
    csv_lines "$logs/server-$id.csv"
    last[id]=$lines
    thread_ticks "${server_pids[id]}"
    ticks_after[id]=$ticks
  done
  process_ticks "$bots_pid"
  bots_after=$ticks
  window=$(awk -v a="$window_start" -v b="$window_end" 'BEGIN { printf "%.3f\n", b - a }')
  local i
  for ((i = 0; i < 30 * 5; ++i)); do
    grep -q "^summary: " "$logs/bots.log" && break
    sleep 0.2
  done
  local summary
  summary=$(grep "^summary: " "$logs/bots.log" || echo "summary: none")
  # The sockets go with the servers: read their counts first.
  local drops=()
  for ((id = 1; id <= servers; ++id)); do drops[id]=$(socket_drops $((game_port + id - 1))); done
  stop_processes
  local median p99 handovers answered bots_cpu pairs never gap_median gap_p99 gap_max
  median=$(sed -n 's/.* round trips, median \([0-9.]*\) ms.*/\1/p' <<<"$summary")
  p99=$(sed -n 's/.* round trips, median [0-9.]* ms, 99th percentile \([0-9.]*\) ms.*/\1/p' <<<"$summary")
  pairs=$(sed -n 's/.* view: \([0-9]*\) ship pairs.*/\1/p' <<<"$summary")
  never=$(sed -n 's/.* ship pairs, \([0-9]*\) never updated.*/\1/p' <<<"$summary")
  read -r gap_median gap_p99 gap_max <<<"$(sed -n \
    's/.* updates median \([0-9.]*\) s, 99th percentile \([0-9.]*\) s, max \([0-9.]*\) s.*/\1 \2 \3/p' <<<"$summary")"
  handovers=$(sed -n 's/.* \([0-9]*\) hand-overs.*/\1/p' <<<"$summary")
  answered=$(sed -n 's/.* answered (\([0-9.]*%\)).*/\1/p' <<<"$summary")
  bots_cpu=$(percent_of_core "$([ -n "$bots_before" ] && [ -n "$bots_after" ] && echo $((bots_after - bots_before)))" "$window")
  local firing=no
  [ "$fire" -eq 0 ] || firing=yes
  for ((id = 1; id <= servers; ++id)); do
    local fps cpu packets bytes dropped main io
    read -r fps cpu packets bytes dropped <<<"$(averages "$logs/server-$id.csv" "${first[id]}" "${last[id]}")"
    read -r main io <<<"$(thread_cpu "${server_pids[id]}" "${ticks_before[id]}" "${ticks_after[id]}" "$window")"
    rows+=("| $setup | $bots | $firing | $id | $fps | $cpu | $main | $io | $packets | $bytes | $dropped | ${drops[id]} | ${answered:--} | ${median:--} | ${p99:--} | ${handovers:--} | $bots_cpu | ${never:--} of ${pairs:--} | ${gap_median:--} | ${gap_p99:--} | ${gap_max:--} |")
  done
  echo "bench: $setup, $bots bots: ${rows[-1]}"
}

if [ "$setup" != two ]; then
  for bots in $counts; do run "one server" 1 "$bots"; done
fi
if [ "$setup" != one ]; then
  for bots in $counts; do run "two servers" 2 "$bots"; done
fi

echo
echo "Measured over ${seconds} s runs (the window: from the end of a ${warmup} s warm-up to a second" \
  "before the bots stop), on $(nproc) cores," \
  "$(sed -n 's/^model name[^:]*: //p' /proc/cpuinfo | head -n 1), $(date -u +%Y-%m-%d):"
echo
echo "| setup | bots | fire | server | frames/s | CPU figure | main thread % | I/O thread % | UDP packets sent/s |" \
  "UDP bytes sent/s | broadcast packets dropped/s | socket drops | pings answered | round trip median ms |" \
  "round trip 99th % ms | hand-overs | botclient CPU % | ship pairs never updated | longest gap median s |" \
  "longest gap 99th % s | longest gap max s |"
echo "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|"
printf '%s\n' "${rows[@]}"
echo
echo "bench: logs in $out"
