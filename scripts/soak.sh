#!/usr/bin/env bash
# Soak run: hostile peers against one region server while a legitimate bot flies and pings
# beside them. Each phase gets a fresh stand-in coordinator (one region), a fresh server writing
# its measurement file (the idle and logged-in-hold phases' under a limit of 1024 descriptors),
# the bot, and one `hostile-peer` attack for --seconds (qport-wrap and logged-in-slowloris take
# longer: they need the 65,536 logins of a wrap, and 30 s of silence). Per phase it prints the
# server's resident memory (before, peak, after) and open descriptors (before, peak, after the
# attack has settled), the bot's pongs and round trips during the attack, the frame rate (lowest
# during, and after), the bytes the server logged, what the attack itself reports, and the
# phase's own check; then whether the goals hold. The bot's round trip is a goal during every
# phase but the floods at the machine's packet limit (udp-flood, dense-datagrams), where the bot
# shares the flooded loopback and the machine with the attack: there its pings must still be
# answered during the attack, and its round trip be back within the bound soon after. An attack
# is stopped early when the server's resident size passes 2 GB.
# Usage: scripts/soak.sh [--seconds 25] [--phases "udp-flood garbage ..."] [--build DIR]
set -euo pipefail
cd "$(dirname "$0")/.."

all_phases="udp-flood garbage partial-frames churn idle unknown-server-logins ping-reflection no-reader unauthorised"
all_phases+=" dense-datagrams tcp-frame-stream qport-wrap orphans logged-in-hold logged-in-slowloris many-non-readers"
seconds=25
phases=$all_phases
build=build
usage='usage: scripts/soak.sh [--seconds 25] [--phases "udp-flood garbage ..."] [--build DIR]'
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds=${2:-}; shift 2 || shift ;;
    --seconds=*) seconds=${1#*=}; shift ;;
    --phases) phases=${2:-}; shift 2 || shift ;;
    --phases=*) phases=${1#*=}; shift ;;
    --build) build=${2:-}; shift 2 || shift ;;
    --build=*) build=${1#*=}; shift ;;
    -h|--help)
      echo "$usage"
      echo "  phases: $all_phases"
      exit 0 ;;
    *) echo "soak: unknown option '$1'"; echo "$usage"; exit 2 ;;
  esac
done
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -lt 5 ]; then
  echo "soak: bad phase length '$seconds' (want whole seconds, at least 5)"
  exit 2
fi
for p in $phases; do
  [[ " $all_phases " == *" $p "* ]] || { echo "soak: unknown phase '$p' (phases: $all_phases)"; exit 2; }
done
[ -n "${phases// /}" ] || { echo "soak: no phases"; exit 2; }

tool=soak
out=$(mktemp -d "${TMPDIR:-/tmp}/regionserver-soak.XXXXXX")
programs=(regionserver standin-coordinator standin-bot hostile-peer)
# A target that does not build (tests or benchmarks mid-edit, say) does not stop the soak, as
# long as the programs it runs are built from the tree as it is.
if ! scripts/setup.sh "$build" >"$out/build.log" 2>&1; then
  if ! cmake --build "$build" --target "${programs[@]}" >>"$out/build.log" 2>&1; then
    echo "soak: the build failed; its log: $out/build.log"
    grep -E "error|FAILED" "$out/build.log" | head -n 5 | sed 's/^/    /'
    exit 1
  fi
  echo "soak: some other targets do not build (see $out/build.log); the programs the soak runs do"
fi
for program in "${programs[@]}"; do
  [ -x "$build/$program" ] || { echo "soak: $build/$program not built"; exit 1; }
done
logs=$out
source scripts/lib/processes.sh
trap 'stop_processes' EXIT
trap 'echo; echo "soak: interrupted"; exit 130' INT TERM

# What each attack is told beyond port and time. The rates are chosen so that a phase is about
# its own weakness, not only about CPU: the UDP flood and the connection churns run flat out.
attack_options() {
  case "$1" in
    udp-flood) echo "--threads 2" ;;
    garbage) echo "--rate 20000 --connections 4" ;;
    partial-frames) echo "--connections 1000" ;;
    churn) echo "--threads 4" ;;
    idle) echo "--connections 1100" ;;
    unknown-server-logins) echo "--threads 4" ;;
    ping-reflection) echo "--rate 1000" ;;
    no-reader) echo "--shooters 20" ;;
    unauthorised) echo "--rate 20000" ;;
    dense-datagrams) echo "--threads 3" ;;
    tcp-frame-stream) echo "--connections 4" ;;
    # Past the wrap of the 16-bit counter: every held qport comes round once more.
    qport-wrap) echo "--threads 4 --connections 50 --logins 65700" ;;
    orphans) echo "--threads 4 --logins 2000" ;;
    logged-in-hold) echo "--connections 1100" ;;
    logged-in-slowloris) echo "--connections 1000" ;;
    many-non-readers) echo "--threads 4 --connections 500" ;;
  esac
}

# How long a phase's attack runs: --seconds, or longer where its check needs it.
attack_seconds() {
  case "$1" in
    qport-wrap) echo $((seconds > 150 ? seconds : 150)) ;;
    logged-in-slowloris) echo $((seconds > 45 ? seconds : 45)) ;;
    *) echo "$seconds" ;;
  esac
}

# Phases whose check includes a fresh client's welcome while the attack runs.
fresh_phases=" idle dense-datagrams tcp-frame-stream qport-wrap orphans logged-in-hold logged-in-slowloris many-non-readers "
# An attack is stopped once the server's resident size passes this (kB).
rss_limit=2097152

now_ms() { date +%s%3N; }
# The kernel's TCP memory in pages (all sockets of the host, not the server's alone).
tcp_mem() { awk '/^TCP:/ { for (i = 1; i < NF; ++i) if ($i == "mem") print $(i + 1) }' /proc/net/sockstat; }
# The server's controlled players: column 26 of the measurement file's last line.
players_of() { tail -n 1 "$1" 2>/dev/null | awk -F, '{ if ($1 ~ /^ *[0-9]+ *$/) print $26 + 0; else print "-" }' | grep . || echo -; }
fds_of() { if [ -d "/proc/$1/fd" ]; then ls "/proc/$1/fd" 2>/dev/null | wc -l; else echo -; fi; }
lines_of() { if [ -f "$1" ]; then wc -l <"$1"; else echo 0; fi; }
bytes_of() { if [ -f "$1" ]; then stat -c %s "$1"; else echo 0; fi; }

# socket_drops <port>: the kernel's count of datagrams dropped at the UDP socket bound to the
# port on all addresses (the last column of /proc/net/udp), 0 when there is none.
socket_drops() {
  awk -v local="$(printf '00000000:%04X' "$1")" '$2 == local { drops += $NF } END { print drops + 0 }' /proc/net/udp
}

# stop_one <pid>: the process group start() made for it, TERM then KILL.
stop_one() {
  kill -TERM -- "-$1" 2>/dev/null || true
  for _ in 1 2 3 4 5 6 7 8 9 10; do
    kill -0 -- "-$1" 2>/dev/null || return 0
    sleep 0.2
  done
  kill -KILL -- "-$1" 2>/dev/null || true
}

# The bot's round trips in lines (first, last] of its log: "count median max".
round_trips() {
  [ "$3" -gt "$2" ] || { echo "0 - -"; return; }
  sed -n "$(($2 + 1)),$3p" "$1" | sed -n 's/^round trip \([0-9.]*\) ms.*/\1/p' | sort -n |
    awk '{ v[NR] = $1 } END {
      if (NR == 0) { print "0 - -"; exit }
      median = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
      printf "%d %.2f %.2f\n", NR, median, v[NR] }'
}

# The measurement file's FPS column (31) in lines (first, last]: "lowest median", skipping the
# header and the -1 of the first rate period.
frame_rates() {
  [ "$3" -gt "$2" ] || { echo "- -"; return; }
  sed -n "$(($2 + 1)),$3p" "$1" | awk -F, '$1 ~ /^ *[0-9]+ *$/ && $31 + 0 >= 0 { print $31 + 0 }' | sort -g |
    awk '{ v[NR] = $1 } END {
      if (NR == 0) { print "- -"; exit }
      printf "%.1f %.1f\n", v[1], NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# pick_soak_port: sets game_port to a port free for TCP and UDP on all addresses, below the
# kernel's ephemeral range: the attacks use thousands of ephemeral ports from many loopback
# addresses, which a check on 127.0.0.1 alone does not see.
pick_soak_port() {
  local low try p
  read -r low _ </proc/sys/net/ipv4/ip_local_port_range
  [ "$low" -gt 12000 ] || { pick_game_ports; return; }
  for ((try = 0; try < 50; ++try)); do
    p=$((10000 + RANDOM % (low - 10000)))
    if port_free "$p"; then
      game_port=$p
      return 0
    fi
  done
  echo "soak: found no free game port"
  return 1
}

# summary_value <log> <key>: a value from hostile-peer's summary line.
summary_value() {
  sed -n "s/^summary: .* $2=\([0-9.]*\).*/\1/p" "$1" | head -n 1
}

per_second() { awk -v n="$1" -v s="$2" 'BEGIN { if (s > 0) printf "%.0f", n / s; else print "-" }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.1f", a / b; else print "-" }'; }

# What the attack did, in a few words, from its summary.
attack_text() {
  local phase=$1 log=$2 secs datagrams bytes frames connections failures closed held
  secs=$(summary_value "$log" seconds)
  [ -n "$secs" ] || { echo "no summary"; return; }
  datagrams=$(summary_value "$log" datagrams)
  bytes=$(summary_value "$log" bytes)
  frames=$(summary_value "$log" frames)
  connections=$(summary_value "$log" connections)
  failures=$(summary_value "$log" connect_failures)
  closed=$(summary_value "$log" closed_by_server)
  held=$(summary_value "$log" held_at_end)
  case "$phase" in
    udp-flood) echo "$(per_second "$datagrams" "$secs") datagrams/s" ;;
    garbage) echo "$(per_second "$datagrams" "$secs") datagrams/s, $connections connections, $(per_second "$bytes" "$secs") B/s" ;;
    partial-frames | idle) echo "$connections connections made ($failures failed), $held held at end, $closed closed by server" ;;
    churn | unknown-server-logins) echo "$(per_second "$connections" "$secs") connections/s ($failures failed)" ;;
    ping-reflection) echo "$(per_second "$datagrams" "$secs") datagrams/s of $((frames / (datagrams > 0 ? datagrams : 1))) pings" ;;
    no-reader) echo "held: $held, closed by server: $closed" ;;
    unauthorised) echo "$(per_second "$frames" "$secs") frames/s (TCP and UDP), closed by server: $closed" ;;
    dense-datagrams) echo "$(per_second "$datagrams" "$secs") datagrams/s of 681 frames" ;;
    tcp-frame-stream) echo "$(per_second "$frames" "$secs") frames/s on $connections connections, closed by server: $closed" ;;
    qport-wrap) echo "$(summary_value "$log" logins) logins in $secs s ($(per_second "$(summary_value "$log" logins)" "$secs")/s," \
      "$(summary_value "$log" login_failures) failed), $held of the first 50 still held" ;;
    orphans) echo "$(summary_value "$log" logouts) cycles ($(per_second "$(summary_value "$log" logouts)" "$secs")/s," \
      "$(summary_value "$log" login_failures) logins failed)" ;;
    logged-in-hold | logged-in-slowloris)
      echo "$connections connections made ($failures failed), $held held at end, $closed closed by server" ;;
    many-non-readers) echo "$(summary_value "$log" logins) players logged in, $(per_second "$datagrams" "$secs") firing datagrams/s," \
      "$held held at end, $closed closed by server" ;;
  esac
}

# fresh_client: starts a new standin-bot and sets `fresh_text` to "yes (T s)" when it is
# welcomed within 10 s, else "no"; `fresh_seconds` to the time it took (10 when never).
fresh_client() {
  start fresh "$build/standin-bot" --port "$game_port" --name fresh --seconds 15
  local fresh=${pids[-1]} begun i
  begun=$(now_ms)
  fresh_text=no
  fresh_seconds=10
  for ((i = 0; i < 100; ++i)); do
    if grep -q "welcome via" "$logs/fresh.log"; then
      fresh_seconds=$(awk -v ms=$(($(now_ms) - begun)) 'BEGIN { printf "%.1f", ms / 1000 }')
      fresh_text="yes ($fresh_seconds s)"
      break
    fi
    sleep 0.1
  done
  stop_one "$fresh"
}

rows=()
failed_fps=()
failed_fds=()
failed_rtt=()
failed_rtt_flood=()
failed_check=()
# The bot's round trip (ms): its median during every phase but the floods at the machine's
# packet limit, where it must be back within rtt_back_s seconds after the attack.
rtt_bound=5
rtt_back_s=5
flood_phases="udp-flood dense-datagrams"

# run_phase <phase>: one coordinator, server, bot and attack; appends the phase's row.
run_phase() {
  local phase=$1 notes=()
  logs="$out/$phase"
  mkdir -p "$logs"
  local csv="$logs/server.csv" server_log="$logs/server.log" bot_log="$logs/bot.log"
  pick_soak_port || return 1
  start_coordinator --region 1:0,0,0:1000,1000,1000 || return 1
  # The idle phase runs the server under the descriptor limit many systems give a process.
  local limit=() asecs
  asecs=$(attack_seconds "$phase")
  [ "$phase" = idle ] || [ "$phase" = logged-in-hold ] && limit=(prlimit --nofile=1024:1024)
  start server "${limit[@]}" "$build/regionserver" --server-id 1 --port "$game_port" --coord-host 127.0.0.1 \
    --coord-port "$coord_port" --enable-console false --log true --stats "$csv"
  local server=${pids[-1]}
  wait_for coordinator "map sent to server 1" 15 || return 1
  start bot "$build/standin-bot" --port "$game_port" --name legit --velocity 2,0,0 --seconds $((asecs + 120))
  local bot=${pids[-1]}
  wait_for bot "welcome via" 15 || return 1
  # Settled before the attack: two pongs and a frame rate in the measurement file.
  local i
  for ((i = 0; i < 150; ++i)); do
    [ "$(grep -c '^round trip' "$bot_log")" -ge 2 ] && [ "$(frame_rates "$csv" 0 "$(lines_of "$csv")")" != "- -" ] && break
    sleep 0.1
  done

  # Resident memory, descriptors and the kernel's TCP memory (pages), five times a second, for
  # the peaks; where the phase is about send memory, also the send queues of the server's own
  # connections on the game port (bytes, from ss: the sum of skmem's w, the connections, and the
  # largest send buffer tb).
  local send_port=0
  [ "$phase" = many-non-readers ] && send_port=$game_port
  start sampler bash -c 'while [ -d /proc/$0 ]; do
      send="0 0 0"
      [ "$1" = 0 ] || send=$(ss -tmnH state established "( sport = :$1 )" | awk "/skmem:/ {
          n++; if (match(\$0, /,w[0-9]+/)) w += substr(\$0, RSTART + 2, RLENGTH - 2)
          if (match(\$0, /tb[0-9]+/) && substr(\$0, RSTART + 2, RLENGTH - 2) + 0 > tb) tb = substr(\$0, RSTART + 2, RLENGTH - 2) + 0
        } END { printf \"%.0f %d %d\\n\", w, n, tb }")
      echo "$(date +%s%3N) $(awk "/^VmRSS:/ { print \$2 }" /proc/$0/status 2>/dev/null) $(ls /proc/$0/fd 2>/dev/null | wc -l)" \
        "$(awk "/^TCP:/ { for (i = 1; i < NF; ++i) if (\$i == \"mem\") print \$(i + 1) }" /proc/net/sockstat) $send"
      sleep 0.2
    done' "$server" "$send_port"
  local rss_before fds_before bot_l0 csv_l0 log_b0 drops0 t0 players_before tcp_before
  rss_before=$(rss_of "$server")
  players_before=$(players_of "$csv")
  tcp_before=$(tcp_mem)
  fds_before=$(fds_of "$server")
  bot_l0=$(lines_of "$bot_log")
  csv_l0=$(lines_of "$csv")
  log_b0=$(bytes_of "$server_log")
  drops0=$(socket_drops "$game_port")
  t0=$(now_ms)
  # shellcheck disable=SC2046
  start attacker "$build/hostile-peer" "$phase" --port "$game_port" --seconds "$asecs" --seed "$t0" \
    $(attack_options "$phase")
  local attacker=${pids[-1]}

  fresh_text=""
  if [[ "$fresh_phases" == *" $phase "* ]]; then
    # A newcomer 3 s after the attack is in place (the server has taken what it will take by
    # then), or half-way through the phase.
    for ((i = 0; i < asecs * 5; ++i)); do
      grep -qE "^(holding|attacking)" "$logs/attacker.log" && break
      sleep 0.1
    done
    for ((i = 0; i < 30 && i < asecs * 5; ++i)); do sleep 0.1; done
    fresh_client
  fi

  # The attack ends itself after its time; one that does not is killed, and so is one that took
  # the server past the memory limit.
  local rss_now
  for ((i = 0; i < (asecs + 15) * 10; ++i)); do
    kill -0 "$attacker" 2>/dev/null || break
    if [ $((i % 5)) -eq 0 ]; then
      rss_now=$(rss_of "$server")
      if [ "$rss_now" != - ] && [ "$rss_now" -gt "$rss_limit" ]; then
        notes+=("attack stopped after $((($(now_ms) - t0) / 1000)) s: server RSS $((rss_now / 1024)) MB")
        stop_one "$attacker"
        break
      fi
    fi
    sleep 0.1
  done
  if kill -0 "$attacker" 2>/dev/null; then
    notes+=("attacker hung, killed")
    stop_one "$attacker"
  fi
  local t1 bot_l1 csv_l1
  t1=$(now_ms)
  bot_l1=$(lines_of "$bot_log")
  csv_l1=$(lines_of "$csv")
  # After a flood: how soon the bot's round trip is back within the bound (its first round trip
  # of at most rtt_bound ms), waiting up to 15 s.
  local rtt_back=""
  if [[ " $flood_phases " == *" $phase "* ]]; then
    for ((i = 0; i < 150; ++i)); do
      if sed -n "$((bot_l1 + 1)),\$p" "$bot_log" | sed -n 's/^round trip \([0-9.]*\) ms.*/\1/p' |
        awk -v b="$rtt_bound" '$1 + 0 <= b { found = 1 } END { exit !found }'; then
        rtt_back=$(awk -v ms=$(($(now_ms) - t1)) 'BEGIN { printf "%.1f", ms / 1000 }')
        break
      fi
      sleep 0.1
    done
  fi
  local players_end players_back=""
  players_end=$(players_of "$csv")
  if [ "$phase" = orphans ]; then
    # The players the attack left: back to their count before within 40 s?
    for ((i = 0; i < 400; ++i)); do
      [ "$(players_of "$csv")" != - ] && [ "$(players_of "$csv")" -le "$players_before" ] && {
        players_back=$(awk -v ms=$(($(now_ms) - t1)) 'BEGIN { printf "%.0f", ms / 1000 }')
        break
      }
      sleep 0.1
    done
  fi

  # Settling: descriptors back to their count before, for at most 15 s; after tcp-frame-stream
  # at most 60 s: the server reads what the kernel still holds of its four streams at their
  # share (1,000 events a frame each) before it sees them end.
  local fds_now=- settle_halves=30
  [ "$phase" != tcp-frame-stream ] || settle_halves=120
  for ((i = 0; i < settle_halves; ++i)); do
    fds_now=$(fds_of "$server")
    [ "$fds_now" = - ] && break
    [ "$fds_now" -le "$fds_before" ] && break
    sleep 0.5
  done
  # The frame rate after: the median of five measurement lines after the settling (one second
  # alone dips by a frame or so when other work on the machine takes a core for a moment).
  local csv_l2
  csv_l2=$(lines_of "$csv")
  for ((i = 0; i < 70; ++i)); do
    [ "$(lines_of "$csv")" -ge $((csv_l2 + 5)) ] && break
    sleep 0.1
  done
  local rss_after fds_after log_bytes drops
  rss_after=$(rss_of "$server")
  fds_after=$(fds_of "$server")
  log_bytes=$(($(bytes_of "$server_log") - log_b0))
  drops=$(($(socket_drops "$game_port") - drops0))

  # The send memory's peak, with the connections and send buffer of that sample, and how many
  # samples had more than their connections' bound: the send buffer, and the one write the
  # kernel still takes while a queue is below it (at most 64 KiB).
  local rss_peak fds_peak tcp_peak send_peak send_conns send_tb send_over
  read -r rss_peak fds_peak tcp_peak send_peak send_conns send_tb send_over <<<"$(awk -v a="$t0" -v b="$(now_ms)" \
    'NF >= 3 && $1 >= a && $1 <= b {
      if ($2 > rss) rss = $2; if ($3 > fds) fds = $3; if ($4 > tcp) tcp = $4
      if ($5 + 0 > send) { send = $5; conns = $6; tb = $7 }
      if ($5 + 0 > ($6 + 0) * ($7 + 65536)) over++ }
    END { printf "%d %d %d %.0f %d %d %d\n", rss, fds, tcp, send, conns, tb, over }' "$logs/sampler.log")"
  local pongs median max
  read -r pongs median max <<<"$(round_trips "$bot_log" "$bot_l0" "$bot_l1")"
  local fps_min fps_after
  read -r fps_min _ <<<"$(frame_rates "$csv" "$csv_l0" "$csv_l1")"
  read -r _ fps_after <<<"$(frame_rates "$csv" "$csv_l2" "$(lines_of "$csv")")"
  local attack_secs=$(((t1 - t0) / 1000)) page_kb=$(($(getconf PAGESIZE) / 1024))

  if ! kill -0 "$server" 2>/dev/null; then
    local status=0
    wait "$server" 2>/dev/null || status=$?
    notes+=("server ended (status $status), log $server_log")
    rss_after=-
    fds_after=-
  elif [ "$((csv_l1 - csv_l0))" -lt $((attack_secs / 2)) ]; then
    notes+=("only $((csv_l1 - csv_l0)) measurement lines in ${attack_secs} s")
  fi
  grep -q "closed; no server controls us" "$bot_log" && notes+=("bot lost its server")
  [ "$drops" -gt 0 ] && notes+=("server socket dropped $drops datagrams")

  local extra="-"
  if [ "$phase" = ping-reflection ]; then
    local log="$logs/attacker.log"
    extra="back/sent: datagrams $(ratio "$(summary_value "$log" back_datagrams)" "$(summary_value "$log" datagrams)")x,"
    extra+=" bytes $(ratio "$(summary_value "$log" back_bytes)" "$(summary_value "$log" bytes)")x"
  else
    # The phase's own check, then the fresh client's welcome where the phase has one.
    local log="$logs/attacker.log" held_ok=yes
    case "$phase" in
      dense-datagrams)
        extra="RSS peak $(((rss_peak - rss_before) / 1024)) MB above before" ;;
      tcp-frame-stream)
        [ $((rss_peak - rss_before)) -le $((50 * 1024)) ] || held_ok=no
        awk -v s="$fresh_seconds" 'BEGIN { exit !(s <= 1) }' || held_ok=no
        extra="RSS within 50 MB and fresh bot welcomed within 1 s: $held_ok (RSS peak $(((rss_peak - rss_before) / 1024))"
        extra+=" MB above before; fresh bot welcomed: $fresh_text)" ;;
      qport-wrap)
        local repeats logins
        repeats=$(summary_value "$log" qport_repeats)
        logins=$(summary_value "$log" logins)
        [ "${repeats:-1}" -eq 0 ] || held_ok=no
        extra="no qport given twice: $held_ok (${repeats:--} qports given again while their holder was live;"
        if [ "${logins:-0}" -ge 65586 ]; then extra+=" the wrap was reached)"; else extra+=" the wrap was not reached)"; fi ;;
      orphans)
        if [ -n "$players_back" ]; then
          extra="players back to $players_before within 40 s: yes ($players_end at the end, back after $players_back s)"
        else
          held_ok=no
          extra="players back to $players_before within 40 s: no ($players_end at the end, $(players_of "$csv") 40 s later)"
        fi ;;
      logged-in-slowloris)
        local first
        first=$(summary_value "$log" first_close_s)
        if [ "$(summary_value "$log" closed_by_server)" -gt 0 ] 2>/dev/null; then
          extra="closed by server: $(summary_value "$log" closed_by_server), the first after $first s"
        else
          held_ok=no
          extra="closed by server: none in $attack_secs s"
        fi ;;
      many-non-readers)
        # The server's own connections' send queues against their send buffers, in every sample.
        [ "$send_conns" -gt 0 ] && [ "$send_over" -eq 0 ] || held_ok=no
        extra="server's send queues within their send buffers: $held_ok (peak $((send_peak / 1048576)) MB on"
        extra+=" $send_conns connections of $((send_tb / 1024)) KiB and one write of at most 64 KiB each: bound"
        extra+=" $((send_conns * (send_tb + 65536) / 1048576)) MB; $send_over samples over; the host's TCP memory"
        extra+=" peak $((tcp_peak * page_kb / 1024)) MB, before $((tcp_before * page_kb / 1024)) MB)" ;;
    esac
    if [ -n "$fresh_text" ] && [ "$phase" != tcp-frame-stream ]; then
      [ "${fresh_text%% *}" = yes ] || held_ok=no
      [ "$extra" = - ] && extra="" || extra+="; "
      extra+="fresh bot welcomed: $fresh_text"
    fi
    [ "$held_ok" = yes ] || failed_check+=("$phase")
  fi

  # Goals.
  awk -v f="$fps_after" 'BEGIN { exit !(f != "-" && f + 0 >= 29) }' || failed_fps+=("$phase")
  [ "$fds_after" != - ] && [ "$fds_after" -le "$fds_before" ] || failed_fds+=("$phase")
  if [[ " $flood_phases " == *" $phase "* ]]; then
    # Pings answered during the flood, and the round trip back within the bound soon after.
    [ "$pongs" -gt 0 ] && [ -n "$rtt_back" ] && awk -v s="$rtt_back" -v n="$rtt_back_s" 'BEGIN { exit !(s <= n) }' ||
      failed_rtt_flood+=("$phase")
    notes+=("bot's round trip at most $rtt_bound ms again: $([ -n "$rtt_back" ] && echo "$rtt_back s after the attack" ||
      echo "not within 15 s")")
  else
    awk -v m="$median" -v b="$rtt_bound" 'BEGIN { exit !(m != "-" && m + 0 <= b) }' || failed_rtt+=("$phase")
  fi

  local note_text="-"
  [ ${#notes[@]} -eq 0 ] || note_text=$(IFS=';'; echo "${notes[*]}" | sed 's/;/; /g')
  local row="| $phase | $(attack_text "$phase" "$logs/attacker.log") | $rss_before | $rss_peak | $rss_after |"
  row+=" $fds_before | $fds_peak | $fds_after | $pongs/$attack_secs | $median | $max | $fps_min | ${fps_after:--} | $log_bytes |"
  rows+=("$row $extra | $note_text |")
  echo "soak: ${rows[-1]}"
  stop_processes
}

started=$(date +%s)
for phase in $phases; do
  # A set-up that fails (a port taken meanwhile, say) is tried once more.
  if ! run_phase "$phase" && {
    stop_processes
    mv "$out/$phase" "$out/$phase-first-set-up"
    echo "soak: $phase: set-up failed (logs in $out/$phase-first-set-up), trying once more"
    ! run_phase "$phase"
  }; then
    rows+=("| $phase | - | - | - | - | - | - | - | - | - | - | - | - | - | - | set-up failed, logs in $out/$phase |")
    failed_fps+=("$phase")
    failed_fds+=("$phase")
    if [[ " $flood_phases " == *" $phase "* ]]; then failed_rtt_flood+=("$phase"); else failed_rtt+=("$phase"); fi
    failed_check+=("$phase")
    echo "soak: ${rows[-1]}"
    stop_processes
  fi
done
took=$(($(date +%s) - started))

yes_no() { if [ $# -eq 0 ]; then echo "yes"; else echo "no ($*)"; fi; }
echo
echo "Measured over ${seconds} s phases on $(nproc) cores," \
  "$(sed -n 's/^model name[^:]*: //p' /proc/cpuinfo | head -n 1), $(date -u +%Y-%m-%d), in ${took} s:"
echo
echo "| phase | attack | RSS before kB | RSS peak kB | RSS after kB | fds before | fds peak | fds after | bot pongs / attack s |" \
  "bot RTT median ms | bot RTT max ms | FPS min during | FPS after (median of 5 s) | server log bytes | phase check | notes |"
echo "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|"
printf '%s\n' "${rows[@]}"
echo
echo "Goals:"
echo "- back to at least 29 frames a second after every phase: $(yes_no "${failed_fps[@]}")"
echo "- descriptors back to their count before every phase: $(yes_no "${failed_fds[@]}")"
echo "- the bot's median round trip at most $rtt_bound ms during every phase but the floods ($flood_phases):" \
  "$(yes_no "${failed_rtt[@]}")"
echo "- during the floods the bot's pings answered, and its round trip at most $rtt_bound ms again within" \
  "$rtt_back_s s after: $(yes_no "${failed_rtt_flood[@]}")"
echo "- every phase check holds: $(yes_no "${failed_check[@]}")"
echo
echo "soak: logs in $out (per phase: server.log, server.csv, bot.log, attacker.log, sampler.log)"
