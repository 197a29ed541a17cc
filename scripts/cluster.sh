#!/usr/bin/env bash
# A cluster on one machine: the stand-in coordinator, 4 or 8 region servers in a grid of cubes
# (2x2x1 or 2x2x2), and `botclient` with bots wandering over the whole grid, so that they cross
# borders, shared out over the servers; optionally firing, and optionally with faults injected
# at given seconds after the bots start: a server killed, stopped for a while (SIGSTOP, then
# SIGCONT), killed and started again under its id, or the coordinator killed.
# Per server it prints what its measurement file says over the measured window (from the end
# of the warm-up to a second before the bots stop): frames per second (lowest and mean),
# players at the end, hand-overs it took a second (players and shots), its resident memory at
# the window's start and end, and its log's lines of trouble by kind over the run. Then the
# players summed over the servers, once a second over the window's last 5 s, against the bots
# (ships lost or duplicated), the bots' own summary, and whether the run held.
# Usage: scripts/cluster.sh [--servers 4|8] [--bots 200] [--fire] [--seconds 30] [--warmup 5]
#          [--speed 40] [--size 500] [--bot-threads 4] [--min-fps 29] [--build DIR] [--no-build] [--base-port P]
#          [--kill ID@T] [--stop ID@T:S] [--restart ID@T] [--kill-coordinator T] [--join N@T[:ID]]
set -euo pipefail
cd "$(dirname "$0")/.."

servers=4
bots=200
fire=0
seconds=30
warmup=5
speed=40
size=500
bot_threads=4
min_fps=29
build=build
no_build=0
base_port=""
kills=()
stops=()
restarts=()
coordinator_kill=""
join=""
usage='usage: scripts/cluster.sh [--servers 4|8] [--bots N] [--fire] [--seconds S] [--warmup W] [--speed V] [--size U]
         [--bot-threads T] [--min-fps F] [--build DIR] [--no-build] [--base-port P]
         [--kill ID@T] [--stop ID@T:S] [--restart ID@T] [--kill-coordinator T] [--join N@T[:ID]]'
while [ $# -gt 0 ]; do
  case "$1" in
    --servers) servers=${2:-}; shift 2 || shift ;;
    --bots) bots=${2:-}; shift 2 || shift ;;
    --fire) fire=1; shift ;;
    --seconds) seconds=${2:-}; shift 2 || shift ;;
    --warmup) warmup=${2:-}; shift 2 || shift ;;
    --speed) speed=${2:-}; shift 2 || shift ;;
    --size) size=${2:-}; shift 2 || shift ;;
    --bot-threads) bot_threads=${2:-}; shift 2 || shift ;;
    --min-fps) min_fps=${2:-}; shift 2 || shift ;;
    --build) build=${2:-}; shift 2 || shift ;;
    --no-build) no_build=1; shift ;;
    --base-port) base_port=${2:-}; shift 2 || shift ;;
    --kill) kills+=("${2:-}"); shift 2 || shift ;;
    --stop) stops+=("${2:-}"); shift 2 || shift ;;
    --restart) restarts+=("${2:-}"); shift 2 || shift ;;
    --kill-coordinator) coordinator_kill=${2:-}; shift 2 || shift ;;
    --join) join=${2:-}; shift 2 || shift ;;
    -h|--help)
      echo "$usage"
      echo "  --servers: 4 (a 2x2x1 grid of cubes of --size units, default 500) or 8 (2x2x2); default 4"
      echo "  --bots: bots wandering at --speed units a second over the whole grid, shared out over the servers; default 200"
      echo "  --fire: every bot fires once a second"
      echo "  --seconds: the bots' run time; --warmup: seconds at its start left out of the figures (default 30 and 5)"
      echo "  --min-fps: the frame rate every server without a fault must hold on average for the run to hold (default 29)"
      echo "  --no-build: run what is in the build folder as it is (default: scripts/setup.sh DIR builds first)"
      echo "  --base-port: the servers' game ports are P, P+1, ... (default: free ports picked at random)"
      echo "  faults, T seconds after the bots start (whole seconds, within the run; each option may be repeated):"
      echo "    --kill ID@T: SIGKILL server ID; --stop ID@T:S: SIGSTOP it, SIGCONT S seconds later;"
      echo "    --restart ID@T: SIGKILL it and start it again under the same id and port; --kill-coordinator T"
      echo "  --join N@T[:ID]: N more bots log in T seconds after the first (at server ID, or shared out over all)"
      echo "  Ends with status 0 when the run held, 3 when it did not, 1 when the cluster could not be run, 2 on bad options."
      exit 0 ;;
    *) echo "cluster: unknown option '$1'"; echo "$usage"; exit 2 ;;
  esac
done

whole() { [[ "$1" =~ ^[0-9]+$ ]]; }
[ "$servers" = 4 ] || [ "$servers" = 8 ] || { echo "cluster: --servers is 4 or 8, not '$servers'"; exit 2; }
for n in "$bots" "$seconds" "$speed" "$size" "$bot_threads"; do
  whole "$n" && [ "$n" -gt 0 ] || { echo "cluster: '$n' is not a whole number above 0"; exit 2; }
done
whole "$warmup" || { echo "cluster: '$warmup' is not a whole number"; exit 2; }
[ "$speed" -le 50 ] || { echo "cluster: ships fly at most 50 units a second, not $speed"; exit 2; }
[ "$size" -ge $((speed * speed / 10 + 100)) ] ||
  { echo "cluster: cubes of $size units leave too little room to wander at $speed units a second"; exit 2; }
whole "$min_fps" || { echo "cluster: --min-fps '$min_fps' is not a whole number"; exit 2; }
[ -z "$base_port" ] || { whole "$base_port" && [ "$base_port" -ge 1024 ] && [ "$base_port" -le 65000 ]; } ||
  { echo "cluster: bad --base-port '$base_port'"; exit 2; }

# The bots halt for the run's last seconds: braking (10 units a second each second) takes
# speed/10 s, and two measurement lines of every server must follow at rest.
halt=$(((speed + 9) / 10 + 5))
move_end=$((seconds - halt))
[ "$((warmup + 3))" -le "$move_end" ] ||
  { echo "cluster: the run must be at least $((warmup + 3 + halt)) s (the warm-up, 3 s, and a halt of $halt s)"; exit 2; }

# The faults as events "<second> <order> <action> <server id>", run in time order; each server
# has at most one fault, so that its figures say what that fault did. A fault starts within the
# window (before the halt); a stopped server may wake in the halt.
events=("$warmup 0 window-start 0" "$move_end 0 window-end 0")
declare -A faulted=()
fault_of() { # <server id> <what>
  whole "$1" && [ "$1" -ge 1 ] && [ "$1" -le "$servers" ] || { echo "cluster: no server '$1' among 1..$servers"; exit 2; }
  [ -z "${faulted[$1]:-}" ] || { echo "cluster: server $1 has a fault already"; exit 2; }
  faulted[$1]=$2
}
in_window() { # <second>
  whole "$1" && [ "$1" -ge 1 ] && [ "$1" -lt "$move_end" ] ||
    { echo "cluster: fault time '$1' is not within 1..$((move_end - 1)) s (the bots halt at $move_end s)"; exit 2; }
}
# (The matches are copied first: the checks' own =~ replace BASH_REMATCH.)
for k in "${kills[@]}"; do
  [[ "$k" =~ ^([0-9]+)@([0-9]+)$ ]] || { echo "cluster: bad --kill '$k' (want ID@T)"; exit 2; }
  id=${BASH_REMATCH[1]} at=${BASH_REMATCH[2]}
  fault_of "$id" "killed at $at s"
  in_window "$at"
  events+=("$at 1 kill $id")
done
for s in "${stops[@]}"; do
  [[ "$s" =~ ^([0-9]+)@([0-9]+):([0-9]+)$ ]] || { echo "cluster: bad --stop '$s' (want ID@T:S)"; exit 2; }
  id=${BASH_REMATCH[1]} at=${BASH_REMATCH[2]} span=${BASH_REMATCH[3]}
  fault_of "$id" "stopped at $at s for $span s"
  in_window "$at"
  [ "$span" -gt 0 ] && [ "$((at + span))" -le "$((seconds - 3))" ] ||
    { echo "cluster: a stop lasts at least 1 s and ends by $((seconds - 3)) s"; exit 2; }
  events+=("$at 1 stop $id" "$((at + span)) 1 continue $id")
done
for r in "${restarts[@]}"; do
  [[ "$r" =~ ^([0-9]+)@([0-9]+)$ ]] || { echo "cluster: bad --restart '$r' (want ID@T)"; exit 2; }
  id=${BASH_REMATCH[1]} at=${BASH_REMATCH[2]}
  fault_of "$id" "restarted at $at s"
  in_window "$at"
  events+=("$at 1 restart $id")
done
if [ -n "$coordinator_kill" ]; then
  in_window "$coordinator_kill"
  events+=("$coordinator_kill 1 kill-coordinator 0")
fi
faults=$((${#events[@]} - 2))
join_bots=0
if [ -n "$join" ]; then
  [[ "$join" =~ ^([0-9]+)@([0-9]+)(:([0-9]+))?$ ]] || { echo "cluster: bad --join '$join' (want N@T or N@T:ID)"; exit 2; }
  join_bots=${BASH_REMATCH[1]} join_at=${BASH_REMATCH[2]} join_server=${BASH_REMATCH[4]}
  [ "$join_bots" -gt 0 ] || { echo "cluster: --join wants at least one bot"; exit 2; }
  in_window "$join_at"
  [ -z "$join_server" ] || { [ "$join_server" -ge 1 ] && [ "$join_server" -le "$servers" ]; } ||
    { echo "cluster: no server '$join_server' among 1..$servers"; exit 2; }
  # After a fault of the same second.
  events+=("$join_at 2 join 0")
fi
mapfile -t events < <(printf '%s\n' "${events[@]}" | sort -n -s -k1,1 -k2,2)

# Every bot holds a TCP connection to its server and to the servers it watches, and a UDP
# socket; every server a connection per bot: raise the soft limit of open files where needed.
tool=cluster
source scripts/lib/processes.sh
raise_open_files $((4 * (bots + join_bots) + 256)) "$((bots + join_bots)) bots"

if [ "$no_build" -eq 0 ]; then
  scripts/setup.sh "$build" >/dev/null
fi
for program in regionserver standin-coordinator botclient; do
  [ -x "$build/$program" ] || { echo "cluster: $build/$program not built"; exit 1; }
done

logs=$(mktemp -d "${TMPDIR:-/tmp}/regionserver-cluster.XXXXXX")
stop_all() {
  local pid
  # A stopped server takes no TERM until it runs again.
  for pid in "${pids[@]}"; do kill -CONT -- "-$pid" 2>/dev/null || true; done
  stop_processes
}
trap 'stop_all' EXIT
trap 'echo; echo "cluster: interrupted"; exit 130' INT TERM

# The grid: cubes of `size` units, x fastest, then y, then z; server i has region i. The bots
# wander over all of it less a margin: what a ship at full speed flies while it brakes to a stop
# at the halt (speed^2/20 units), and 30 more, so that no ship leaves the world.
margin=$((speed * speed / 20 + 30))
regions=()
for ((id = 1; id <= servers; ++id)); do
  x=$(((id - 1) % 2 * size)) y=$(((id - 1) / 2 % 2 * size)) z=$(((id - 1) / 4 * size))
  regions+=(--region "$id:$x,$y,$z:$((x + size)),$((y + size)),$((z + size))")
done
depth=$((servers == 8 ? 2 * size : size))
area=$margin,$margin,$margin:$((2 * size - margin)),$((2 * size - margin)),$((depth - margin))

if [ -n "$base_port" ]; then
  for ((id = 0; id < servers; ++id)); do
    port_free $((base_port + id)) || { echo "cluster: port $((base_port + id)) is in use"; exit 1; }
  done
  game_port=$base_port
else
  pick_game_ports "$servers" || exit 1
fi

start_coordinator "${regions[@]}" || exit 1
coordinator_pid=${pids[-1]}
declare -A server_pid=() lives=() rss_start=() rss_end=() held_at_kill=() arrived_at_kill=()
# start_server <id>: life n of server id logs to server-<id>[.<n>].log and measures into
# server-<id>[.<n>].csv.
start_server() {
  local id=$1 life=$((${lives[$1]:-0} + 1)) suffix=""
  lives[$id]=$life
  [ "$life" -eq 1 ] || suffix=".$life"
  start "server-$id$suffix" "$build/regionserver" --server-id "$id" --port $((game_port + id - 1)) \
    --coord-host 127.0.0.1 --coord-port "$coord_port" --enable-console false --log true \
    --stats "$logs/server-$id$suffix.csv"
  server_pid[$id]=${pids[-1]}
}
ports=""
for ((id = 1; id <= servers; ++id)); do
  start_server "$id"
  wait_for coordinator "map sent to server $id" 15 || exit 1
  ports+="${ports:+,}$((game_port + id - 1))"
done
# The lower id opens the link to every other server.
for ((id = 1; id < servers; ++id)); do
  for ((other = id + 1; other <= servers; ++other)); do
    wait_for "server-$id" "Connected to server $other" 15 || exit 1
  done
done

# all_csvs <id>: the measurement files of every life of the server.
all_csvs() {
  local life
  for ((life = 1; life <= ${lives[$1]}; ++life)); do
    local csv="$logs/server-$1.$life.csv"
    [ "$life" -ne 1 ] || csv="$logs/server-$1.csv"
    # A restarted server's file may not be written yet; awk would stop at a missing one.
    [ ! -f "$csv" ] || echo "$csv"
  done
}
# latest_timestamp: the newest synchronised time of any measurement line so far (0 if none).
latest_timestamp() {
  local files=() id
  for ((id = 1; id <= servers; ++id)); do mapfile -t -O "${#files[@]}" files < <(all_csvs "$id"); done
  awk -F, '$1 ~ /^ *[0-9]+$/ && $1 + 0 > t { t = $1 + 0 } END { print t + 0 }' "${files[@]}" 2>/dev/null || echo 0
}
# last_players <id>: "players arrivals" of the server's newest measurement line: its Players
# column, and the players handed to it in the second before (Players ctrl), about as many as may
# have come after that line and gone with the server too.
last_players() {
  local file
  file=$(all_csvs "$1" | tail -n 1)
  awk -F, '$1 ~ /^ *[0-9]+$/ { p = $26 + 0; a = $42 + 0 } END { print p + 0, a + 0 }' "$file" 2>/dev/null ||
    echo 0 0
}

echo "cluster: $servers servers, $bots bots$([ "$fire" -eq 0 ] || echo ", firing"), ${seconds} s; logs in $logs"
options=()
[ "$fire" -eq 0 ] || options+=(--fire)
start bots "$build/botclient" --bots "$bots" --port "$ports" --seconds "$seconds" --warmup "$warmup" \
  --speed "$speed" --area "$area" --halt "$halt" --threads "$bot_threads" "${options[@]}"
wait_for bots "bots started" 120 || exit 1
started=$EPOCHREALTIME

# sleep_until <seconds after the bots' start>
sleep_until() {
  sleep "$(awk -v started="$started" -v at="$1" -v now="$EPOCHREALTIME" \
    'BEGIN { d = started + at - now; printf "%.3f\n", (d > 0 ? d : 0) }')"
}
elapsed() { awk -v started="$started" -v now="$EPOCHREALTIME" 'BEGIN { printf "%.1f\n", now - started }'; }

# The window (from the warm-up's end to the halt) and the faults, in time order.
window_start_at=0
window_end_at=0
fault_lines=()
for event in "${events[@]}"; do
  read -r at _ action id <<<"$event"
  sleep_until "$at"
  case "$action" in
    window-start)
      window_start_at=$(latest_timestamp)
      for ((id = 1; id <= servers; ++id)); do rss_start[$id]=$(rss_of "${server_pid[$id]}"); done
      continue ;;
    window-end)
      window_end_at=$(latest_timestamp)
      for ((id = 1; id <= servers; ++id)); do rss_end[$id]=$(rss_of "${server_pid[$id]}"); done
      continue ;;
    kill|restart)
      read -r "held_at_kill[$id]" "arrived_at_kill[$id]" <<<"$(last_players "$id")"
      kill -KILL -- "-${server_pid[$id]}" 2>/dev/null || true
      # (wait takes the shell's own "Killed" notice with it.)
      wait "${server_pid[$id]}" 2>/dev/null || true
      while kill -0 -- "-${server_pid[$id]}" 2>/dev/null; do sleep 0.05; done
      if [ "$action" = restart ]; then
        start_server "$id"
        fault_lines+=("server $id killed and started again at $(elapsed) s (it controlled ${held_at_kill[$id]} players at its last line, and was handed ${arrived_at_kill[$id]} in the second before)")
      else
        fault_lines+=("server $id killed at $(elapsed) s (it controlled ${held_at_kill[$id]} players at its last line, and was handed ${arrived_at_kill[$id]} in the second before)")
      fi ;;
    stop)
      kill -STOP -- "-${server_pid[$id]}" 2>/dev/null || true
      fault_lines+=("server $id stopped at $(elapsed) s") ;;
    continue)
      kill -CONT -- "-${server_pid[$id]}" 2>/dev/null || true
      fault_lines+=("server $id continued at $(elapsed) s") ;;
    kill-coordinator)
      coordinator_killed_at=$(latest_timestamp)
      kill -KILL -- "-$coordinator_pid" 2>/dev/null || true
      wait "$coordinator_pid" 2>/dev/null || true
      fault_lines+=("coordinator killed at $(elapsed) s") ;;
    join)
      # They halt with the first bots and end with them.
      join_ports=$ports
      [ -z "$join_server" ] || join_ports=$((game_port + join_server - 1))
      start late-bots "$build/botclient" --bots "$join_bots" --name late --port "$join_ports" \
        --seconds $((seconds - at)) --speed "$speed" --area "$area" --halt "$halt" --threads 1 "${options[@]}"
      fault_lines+=("$join_bots more bots logging in at $(elapsed) s${join_server:+ at server $join_server}") ;;
  esac
  echo "cluster: ${fault_lines[-1]}"
done
# The count: a second before the bots stop, the ships at rest and their goodbyes not yet sent.
sleep_until $((seconds - 1))
count_at=$(latest_timestamp)
wait_for bots "summary: " 30 || true
summary=$(grep "^summary: " "$logs/bots.log" || echo "summary: none")
late_summary="summary: none"
if [ "$join_bots" -gt 0 ]; then
  wait_for late-bots "summary: " 10 || true
  late_summary=$(grep "^summary: " "$logs/late-bots.log" 2>/dev/null || echo "summary: none")
fi
stop_all

# figures <csv files...>: "min mean players-in/s shots-in/s stalled" over the window's lines
# (synchronised time above its start, up to its end): the FPS column (31) less its -1 before
# the first rate period, the hand-over columns 42 and 41 per second of the window, and the
# seconds of the window in gaps of more than 2 s without a line (a stopped or dead server).
window_seconds=$(awk -v a="$window_start_at" -v b="$window_end_at" 'BEGIN { printf "%.1f\n", (b - a) / 1000 }')
figures() {
  awk -F, -v from="$window_start_at" -v to="$window_end_at" -v seconds="$window_seconds" '
    $1 ~ /^ *[0-9]+$/ && $1 + 0 > from && $1 + 0 <= to {
      if ($31 + 0 >= 0) { n++; sum += $31; if (min == "" || $31 + 0 < min) min = $31 + 0 }
      shots += $41; players += $42
      if ($1 - (last ? last : from) > 2000) stalled += $1 - (last ? last : from)
      last = $1 + 0
    }
    END {
      if (n == 0) { printf "- - - - %.0f\n", seconds; exit }
      if (to - last > 2000) stalled += to - last
      printf "%.1f %.1f %.1f %.1f %.0f\n", min, sum / n, (seconds > 0 ? players / seconds : 0),
        (seconds > 0 ? shots / seconds : 0), stalled / 1000
    }' "$@"
}

# players_at <moment> <csv files...>: the Players column (26) of the newest line at that
# synchronised time; none ("-") when that line is more than 2 s older (a dead or stopped server).
players_at() {
  local moment=$1
  shift
  awk -F, -v moment="$moment" '
    $1 ~ /^ *[0-9]+$/ && $1 + 0 <= moment && $1 + 0 > moment - 2000 && $1 + 0 >= at { at = $1 + 0; p = $26 + 0; found = 1 }
    END { if (found) print p; else print "-" }' "$@" 2>/dev/null
}

# The kinds of trouble, from the server's own diagnostics (grep the code for their texts): the
# first kind that matches a line counts it; "errors" takes the error and exception lines left.
# Only lines up to the count count (by the synchronised time of the line prefix
# "id:<id>:[<ms>] "; a line without one goes with the line before), so that the bots' goodbyes
# are not in them.
kinds=(overwriting stopping left-out disconnected closed silent transfer errors)
# After the counts of the kinds: the ships that died (handed to the coordinator to respawn), and
# those of them that died after the coordinator was killed (they stay dead).
trouble() { # <log files...>
  awk -v to="$count_at" -v orphaned_after="${coordinator_killed_at:-0}" '
    FNR == 1 { time = 0 }
    /^id:[0-9a-f]+:\[[0-9]+\] / { t = $0; sub(/^id:[0-9a-f]+:\[/, "", t); sub(/\].*/, "", t); time = t + 0 }
    time > to { next }
    /to coordinator from just died/ { deaths++; if (orphaned_after > 0 && time > orphaned_after) orphaned++; next }
    /overwriting tcp socket/ { c["overwriting"]++; next }
    /\] Stopping [0-9a-f]+ from leaving/ { c["stopping"]++; next }
    /\] Left out [0-9]+ more lines/ { c["left-out"]++; next }
    /Disconnected\.|disconnected/ { c["disconnected"]++; next }
    /TCP Error: |Connection closed|Connection to server .* failed|closed: its incomplete frame/ { c["closed"]++; next }
    /havn.t heard from it/ { c["silent"]++; next }
    /[Cc]annot transfer|Cannot send transfer|ERROR IN TRANSFER|[Tt]hrowing away transfer|Threw away/ { c["transfer"]++; next }
    /ERROR|[Ee]rror|xecption|xception|FATAL|ARGH|Argh|AAAA|NOT GOOD/ { c["errors"]++; next }
    END { printf "%d %d %d %d %d %d %d %d %d %d\n", c["overwriting"], c["stopping"], c["left-out"], c["disconnected"],
      c["closed"], c["silent"], c["transfer"], c["errors"], deaths, orphaned }' "$@"
}

rows=()
all_fps_held=1
trouble_total=(0 0 0 0 0 0 0 0)
orphaned=0
# The players summed over the servers at the count and a second before it, the ships at rest.
sum_before=0
sum_at=0
for ((id = 1; id <= servers; ++id)); do
  mapfile -t files < <(all_csvs "$id")
  read -r fps_min fps_mean players_in shots_in stalled <<<"$(figures "${files[@]}")"
  read -r -a counts <<<"$(trouble "${files[@]/%.csv/.log}")"
  for ((k = 0; k < ${#kinds[@]}; ++k)); do trouble_total[k]=$((trouble_total[k] + counts[k])); done
  deaths=${counts[8]}
  orphaned=$((orphaned + counts[9]))
  unset 'counts[9]' 'counts[8]'
  before=$(players_at $((count_at - 1000)) "${files[@]}")
  players=$(players_at "$count_at" "${files[@]}")
  [ "$before" = - ] || sum_before=$((sum_before + before))
  [ "$players" = - ] || sum_at=$((sum_at + players))
  if [ -z "${faulted[$id]:-}" ]; then
    awk -v m="$fps_mean" -v least="$min_fps" 'BEGIN { exit !(m != "-" && m + 0 >= least) }' || all_fps_held=0
  fi
  row="| $id | ${faulted[$id]:-none} | $fps_min | $fps_mean | $stalled | $players_in | $shots_in | $deaths | ${rss_start[$id]:--}"
  rows+=("$row | ${rss_end[$id]:--} | $players | $(IFS=' '; echo "${counts[*]}" | sed 's/ / | /g') |")
done

echo
echo "cluster: the window: ${window_seconds} s, from the end of the ${warmup} s warm-up to the bots' halt at ${move_end} s;" \
  "the count at $((seconds - 1)) s"
for line in "${fault_lines[@]}"; do echo "cluster: fault: $line"; done
{
  echo "| server | fault | fps min | fps mean | stalled s | players in/s | shots in/s | deaths | RSS start kB | RSS end kB | players at the count |" \
    "$(IFS='|'; echo "${kinds[*]}" | sed 's/|/ | /g') |"
  echo "|---|---|---|---|---|---|---|---|---|---|---|$(printf -- '---|%.0s' "${kinds[@]}")"
  printf '%s\n' "${rows[@]}"
} | column -t -s '|' -o '|'

all_bots=$((bots + join_bots))
lost=0 duplicated=0
most=$((sum_at > sum_before ? sum_at : sum_before))
least=$((sum_at < sum_before ? sum_at : sum_before))
[ "$most" -ge "$all_bots" ] || lost=$((all_bots - most))
[ "$least" -le "$all_bots" ] || duplicated=$((least - all_bots))
echo
echo "cluster: players summed over the servers, a second before the count and at it: $sum_before $sum_at," \
  "against $all_bots bots: $lost lost, $duplicated duplicated"
welcomed=$(sed -n 's/^summary: [0-9]* bots, \([0-9]*\) welcomed.*/\1/p' <<<"$summary")
controlled=$(sed -n 's/.* \([0-9]*\) controlled at the end.*/\1/p' <<<"$summary")
handovers=$(sed -n 's/.* \([0-9]*\) hand-overs.*/\1/p' <<<"$summary")
echo "cluster: bots: ${welcomed:--} welcomed, ${controlled:--} controlled at the end, ${handovers:--} hand-overs followed"
[ -z "${coordinator_killed_at:-}" ] ||
  echo "cluster: ships that died after the coordinator was killed (they stay dead, counted as players): $orphaned"
if [ "$join_bots" -gt 0 ]; then
  late_welcomed=$(sed -n 's/^summary: [0-9]* bots, \([0-9]*\) welcomed.*/\1/p' <<<"$late_summary")
  late_controlled=$(sed -n 's/.* \([0-9]*\) controlled at the end.*/\1/p' <<<"$late_summary")
  late_handovers=$(sed -n 's/.* \([0-9]*\) hand-overs.*/\1/p' <<<"$late_summary")
  echo "cluster: late bots: ${late_welcomed:--} welcomed, ${late_controlled:--} controlled at the end," \
    "${late_handovers:--} hand-overs followed"
  welcomed=$((${welcomed:-0} + ${late_welcomed:-0}))
fi

# Whether the run held. Without faults: every server at --min-fps frames a second or more on
# average, no ship lost or duplicated, every bot welcomed, no ship overwritten, no error line,
# and no sanitizer report (in a sanitized build). With faults the same for what a fault should
# leave alone: the other servers' frame rate, no ship lost but those a killed (or restarted)
# server controlled, none duplicated or overwritten, no sanitizer report.
allowed=0
for id in "${!held_at_kill[@]}"; do allowed=$((allowed + held_at_kill[$id] + arrived_at_kill[$id])); done
checks=()
held=1
check() { # <passed 0|1> <text>
  if [ "$1" -eq 1 ]; then checks+=("yes: $2"); else checks+=("no: $2"); held=0; fi
}
yes_if() { if "$@"; then echo 1; else echo 0; fi; }
if [ "$faults" -eq 0 ]; then
  check "$all_fps_held" "every server at $min_fps frames a second or more on average"
  check "$(yes_if [ "$lost" -eq 0 ])" "no ship lost"
else
  check "$all_fps_held" "every server without a fault at $min_fps frames a second or more on average"
  if [ "${#held_at_kill[@]}" -eq 0 ]; then
    check "$(yes_if [ "$lost" -eq 0 ])" "no ship lost"
  else
    check "$(yes_if [ "$lost" -le "$allowed" ])" "no ship lost but the $allowed the killed servers controlled or were just handed"
  fi
fi
check "$(yes_if [ "$duplicated" -eq 0 ])" "no ship duplicated"
check "$(yes_if [ "${welcomed:-0}" = "$all_bots" ])" "every bot welcomed"
check "$(yes_if [ "${trouble_total[0]}" -eq 0 ])" "no ship overwritten (no overwriting lines)"
[ "$faults" -gt 0 ] || check "$(yes_if [ "${trouble_total[7]}" -eq 0 ])" "no error lines"
# The processes' logs are complete now that they have ended.
reports=$(grep -l -E "ERROR: (Address|Leak|Thread|UndefinedBehavior)Sanitizer|WARNING: ThreadSanitizer|runtime error: " \
  "$logs"/*.log 2>/dev/null | xargs -r -n 1 basename | tr '\n' ' ' || true)
check "$(yes_if [ -z "$reports" ])" "no sanitizer report${reports:+ (in ${reports% })}"
for c in "${checks[@]}"; do echo "cluster: check: $c"; done
if [ "$held" -eq 1 ]; then
  echo "cluster: the run held"
  exit 0
fi
echo "cluster: the run did not hold"
exit 3
