# Sourced by the scripts that run local processes (demo, benchmark, cluster, soak): starting and
# stopping them. The caller sets `tool` (its name, for messages) and `logs` (a folder for the logs).
pids=() # every process started runs in a process group of its own, led by this pid

# raise_open_files <files> <who>: raises the soft limit of open files to <files> when it is
# lower, so that the processes started later inherit it; when the hard limit is lower still, says
# so in one line ("<who> need ...") and ends the caller with status 1.
raise_open_files() {
  local hard
  if [ "$(ulimit -Sn)" != unlimited ] && [ "$(ulimit -Sn)" -lt "$1" ]; then
    hard=$(ulimit -Hn)
    if [ "$hard" != unlimited ] && [ "$hard" -lt "$1" ]; then
      echo "$tool: $2 need $1 open files; the hard limit is $hard"
      exit 1
    fi
    ulimit -Sn "$1"
  fi
}

# rss_of <pid>: the process's resident size in kB, or "-" when it has gone.
rss_of() { awk '/^VmRSS:/ { print $2; found = 1 } END { if (!found) print "-" }' 2>/dev/null <"/proc/$1/status" || echo -; }

# start <log name> <command...>: runs the command in its own process group, all output to the log.
start() {
  local name=$1
  shift
  setsid "$@" >"$logs/$name.log" 2>&1 </dev/null &
  pids+=($!)
}

# Stops everything start() started: TERM first, KILL for what has not ended after 2 s.
stop_processes() {
  local pid
  for pid in "${pids[@]}"; do
    kill -TERM -- "-$pid" 2>/dev/null || true
  done
  for _ in 1 2 3 4 5 6 7 8 9 10; do
    local alive=0
    for pid in "${pids[@]}"; do
      kill -0 -- "-$pid" 2>/dev/null && alive=1
    done
    [ "$alive" -eq 0 ] && break
    sleep 0.2
  done
  for pid in "${pids[@]}"; do
    kill -KILL -- "-$pid" 2>/dev/null || true
  done
  pids=()
}

# wait_for <log name> <text> <seconds>: true once the log holds the text.
wait_for() {
  local file="$logs/$1.log" i
  for ((i = 0; i < $3 * 10; ++i)); do
    grep -qF -- "$2" "$file" 2>/dev/null && return 0
    sleep 0.1
  done
  echo "$tool: no '$2' from $1 within $3 s; its log: $file"
  tail -n 5 "$file" 2>/dev/null | sed 's/^/    /'
  return 1
}

port_free() {
  python3 - "$1" <<'PY'
import socket, sys
port = int(sys.argv[1])
try:
    for kind in (socket.SOCK_STREAM, socket.SOCK_DGRAM):
        s = socket.socket(socket.AF_INET, kind)
        s.bind(("0.0.0.0", port))
        s.close()
except OSError:
    sys.exit(1)
PY
}

# pick_game_ports [count]: sets game_port to the first of `count` (default 2, at most 10)
# neighbouring free game ports (TCP and UDP each, on all addresses, as the server binds them),
# from a base that differs from run to run and stays below the range the kernel hands out to
# outgoing connections.
pick_game_ports() {
  local try p i count=${1:-2} free
  game_port=""
  for ((try = 0; try < 50; ++try)); do
    p=$((20000 + (RANDOM % 1200) * 10))
    free=1
    for ((i = 0; i < count; ++i)); do
      port_free $((p + i)) || { free=0; break; }
    done
    if [ "$free" -eq 1 ]; then
      game_port=$p
      return 0
    fi
  done
  echo "$tool: found no free game ports"
  return 1
}

# start_coordinator <region options...>: starts the stand-in coordinator on a free port and
# sets coord_port.
start_coordinator() {
  start coordinator "$build/standin-coordinator" --port 0 "$@"
  wait_for coordinator "coordinator listening on" 10
  coord_port=$(sed -n 's/^coordinator listening on [^:]*:\([0-9]*\).*/\1/p' "$logs/coordinator.log" | head -n 1)
}
