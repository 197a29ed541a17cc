#!/usr/bin/env bash
# One-command demo: builds what is missing, then runs the stand-in coordinator, two region servers
# whose regions touch at x = 100 and four bots on 127.0.0.1. Two bots start on server 1 flying +x,
# two on server 2 flying -x, so hand-overs happen both ways. Shows the interesting lines as they
# come, stops everything it started and prints a summary.
# Usage: scripts/demo.sh [--seconds N] [--build DIR]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=30
build=build
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds=${2:-}; shift 2 || shift ;;
    --seconds=*) seconds=${1#*=}; shift ;;
    --build) build=${2:-}; shift 2 || shift ;;
    --build=*) build=${1#*=}; shift ;;
    -h|--help) echo "usage: scripts/demo.sh [--seconds N] [--build DIR]"; exit 0 ;;
    *) echo "demo: unknown option '$1' (want --seconds N or --build DIR)"; exit 2 ;;
  esac
done
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -lt 1 ]; then
  echo "demo: bad run time '$seconds' (want whole seconds, at least 1)"
  exit 2
fi

scripts/setup.sh "$build"

tool=demo
logs=$(mktemp -d "${TMPDIR:-/tmp}/regionserver-demo.XXXXXX")
source scripts/lib/processes.sh
viewer=""      # the live view: a tail over the logs, read by an awk filter
viewer_tail=""

stop_view() {
  if [ -n "$viewer_tail" ]; then
    sleep 0.3 # the last lines reach the screen first
    kill "$viewer_tail" 2>/dev/null || true
    [ -n "$viewer" ] && wait "$viewer" 2>/dev/null || true
    viewer_tail=""
    viewer=""
  fi
}

stop_all() {
  stop_processes
  stop_view
  wait 2>/dev/null || true
}
trap 'stop_all' EXIT
interrupted=0
trap 'echo; echo "demo: interrupted"; exit 130' INT TERM # until the run starts; then a summary follows

pick_game_ports || exit 1
server_port=([1]=$game_port [2]=$((game_port + 1)))

bots=(ada:1:20,0,0 bob:1:15,0,0 cyd:2:-20,0,0 dot:2:-15,0,0)
names=(coordinator server-1 server-2)
for b in "${bots[@]}"; do names+=("bot-${b%%:*}"); done
for n in "${names[@]}"; do : >"$logs/$n.log"; done

# The live view: one tail over every log, prefixed with its source, filtered to what matters.
# tail runs in the log folder so that its "==> name <==" headers are the bare file names.
mkfifo "$logs/.view"
(cd "$logs" && exec setsid tail -n +1 -F "${names[@]/%/.log}" >"$logs/.view" 2>/dev/null) &
viewer_tail=$!
awk_options=()
# mawk reads a pipe in blocks unless told otherwise: the lines would reach the screen late.
awk -W version 2>/dev/null | grep -q mawk && awk_options=(-W interactive)
# Both in groups of their own: a Ctrl-C must not end the view before the last lines are shown.
setsid awk "${awk_options[@]}" -v start="$(date +%s)" '
  /^==> .* <==$/ { src = $2; sub(/\.log$/, "", src); sub(/-/, " ", src); next }
  /^$/ { next }
  {
    line = $0
    sub(/^id:[0-9a-fA-F]+:\[[0-9]+\] /, "", line)
    show = 0
    if (src == "coordinator") {
      show = line ~ /^(coordinator listening|region |login of server|hand-back|move of|server [0-9]+ closed|bad |cannot )/
    } else if (src ~ /^server/) {
      if (line ~ /^Stopping [0-9a-f]+ from leaving/) {
        # Printed every frame while a ship sits on the edge of the world: once per ship.
        split(line, w, " ")
        if (!((src, w[2]) in held)) { held[src, w[2]] = 1; show = 1; line = line " (shown once)" }
      } else {
        show = line ~ /Player connected|Adding Watcher|Connected to server|Connection to server|Watcher Disconnected|got control over|Sending Transfer control|Sending transfer control|Chaning active region|Player Disconnected|[Ll]ogin|Timeout|rror|xception|xecption|BADDD/
      }
    } else {
      if (line ~ /^round trip/) {
        # One a second for each bot: show every fifth.
        n = line; sub(/.*\(ping /, "", n); sub(/\).*/, "", n)
        show = (n % 5 == 1)
      } else {
        show = line ~ /^(connected to|logged in|welcome via|told via|controlled by|connection to|summary|own ship 0x.* destroyed|.*skipped|cannot|bad )/
      }
    }
    if (show) { printf "%3ds [%s] %s\n", systime() - start, src, line; fflush() }
  }
' <"$logs/.view" &
viewer=$!

echo "demo: logs in $logs"
start_coordinator --region 1:0,0,0:100,100,100 --region 2:100,0,0:200,100,100

for id in 1 2; do
  start "server-$id" "$build/regionserver" --server-id "$id" --port "${server_port[$id]}" \
    --coord-host 127.0.0.1 --coord-port "$coord_port" --enable-console false \
    --log true --stats "$logs/server-$id.csv"
  wait_for coordinator "map sent to server $id" 15
done
wait_for server-1 "Connected to server 2" 15

for b in "${bots[@]}"; do
  IFS=: read -r name id velocity <<<"$b"
  start "bot-$name" "$build/standin-bot" --host 127.0.0.1 --port "${server_port[$id]}" \
    --name "$name" --velocity "$velocity" --seconds "$seconds"
done

trap 'interrupted=1' INT TERM

# The bots end by themselves after the run and print their summaries; allow them a little more.
deadline=$((SECONDS + seconds + 5))
for b in "${bots[@]}"; do
  while [ "$interrupted" -eq 0 ] && ! grep -q "^summary: " "$logs/bot-${b%%:*}.log" &&
    [ "$SECONDS" -lt "$deadline" ]; do
    sleep 0.2 || true # a Ctrl-C ends the sleep too
  done
done
if [ "$interrupted" -eq 1 ]; then
  echo
  echo "demo: interrupted, stopping"
else
  sleep 1 # let the servers print the bots' disconnection
fi
stop_all

# Summary.
count() { grep -c -- "$2" "$logs/$1.log" || true; }
echo
if [ "$interrupted" -eq 1 ]; then
  echo "==== summary (run interrupted) ===="
else
  echo "==== summary (${seconds} s run) ===="
fi
echo "hand-overs server 1 -> server 2: $(count server-1 "Sending Transfer control of id:[0-9a-f]* to server 2")" \
  "(bots told to go to server 2: $(cat "$logs"/bot-*.log | grep -c "to go to 127.0.0.1:${server_port[2]}$" || true))"
echo "hand-overs server 2 -> server 1: $(count server-2 "Sending Transfer control of id:[0-9a-f]* to server 1")" \
  "(bots told to go to server 1: $(cat "$logs"/bot-*.log | grep -c "to go to 127.0.0.1:${server_port[1]}$" || true))"
declare -A players=([1]="" [2]="")
# The servers' own count: a player connects (+1), goes to the coordinator (-1), comes back
# (+1), and may be handed to the neighbour (-1) and come from it (+1).
server_count() {
  local f="$logs/server-$1.log"
  echo $(($(grep -c "] Player connected " "$f" || true) - $(grep -c "] Sending transfer control of .* to coordinator" "$f" || true) \
    + $(grep -c "] got control over player " "$f" || true) - $(grep -c "] Sending Transfer control of id:" "$f" || true)))
}
for b in "${bots[@]}"; do
  IFS=: read -r name id velocity <<<"$b"
  last=$(sed -n 's/^controlled by 127\.0\.0\.1:\([0-9]*\) now.*/\1/p' "$logs/bot-$name.log" | tail -n 1)
  at=$id # never handed over: still with the server it logged in at
  for s in 1 2; do
    if [ "$last" = "${server_port[$s]}" ]; then at=$s; fi
  done
  grep -q "^welcome via" "$logs/bot-$name.log" || at=none
  if [ "$at" = none ]; then
    echo "bot $name never logged in"
  else
    players[$at]+=" $name"
  fi
done
for s in 1 2; do
  read -r -a on <<<"${players[$s]}"
  echo "players on server $s at the end: ${#on[@]} ${players[$s]:+(${players[$s]# }) }from the bots' lines," \
    "$(server_count "$s") from the server's"
done
echo "logs: $logs/{coordinator,server-1,server-2,bot-*}.log"
for s in 1 2; do
  f="$logs/server-$s.csv"
  if [ -s "$f" ]; then
    echo "measurements of server $s: $f"
  else
    echo "measurements of server $s: $f (not written yet)"
  fi
done
[ "$interrupted" -eq 0 ] || exit 130
