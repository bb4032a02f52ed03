#!/usr/bin/env bash
# The demo: Palavoro on a simulated radio channel of two Dire Wolf nodes, no radio
# needed, and a terminal for one radio user connected to it. Everything the demo
# starts stops when that terminal ends (/quit, Ctrl-D, Ctrl-C).
#
#   scripts/demo.sh [--call CALL] [--dir DIR] [--base-port PORT]
#   scripts/demo.sh --join CALL [--dir DIR]    # another user on the running demo
#
# --call     your callsign (default N0USR)
# --dir      where the demo keeps its files (default run/demo)
# --base-port  AGW port of the server's Dire Wolf node; the users' node is one
#            higher (default 8010, or the next free 8110, 8210, ...)
# PALAVORO_BIN=path uses that program instead of building one.
set -uo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
dir="$repo/run/demo"
call=N0USR
join=""
base=""
server=PALAVO-1

usage() { sed -n '5,13p' "$0" | sed 's/^# \{0,1\}//'; }
die() {
  echo "demo: $*" >&2
  exit 1
}

while [ $# -gt 0 ]; do
  case "$1" in
    --call | --join | --dir | --base-port)
      [ $# -ge 2 ] || { usage >&2; exit 2; }
      case "$1" in
        --call) call="$2" ;;
        --join) join="$2" ;;
        --dir) dir="$2" ;;
        --base-port) base="$2" ;;
      esac
      shift 2
      ;;
    -h | --help) usage; exit 0 ;;
    *) usage >&2; exit 2 ;;
  esac
done

valid_call() { [[ "$1" =~ ^[A-Z0-9]{1,6}(-[0-9]{1,2})?$ ]]; }
call="${call^^}"
join="${join^^}"
valid_call "$call" || die "'$call' is not a callsign (like N0USR or N0USR-7)"
[ -z "$join" ] || valid_call "$join" || die "'$join' is not a callsign (like N0TWO or N0TWO-7)"
[ -z "$base" ] || [[ "$base" =~ ^[0-9]+$ && "$base" -ge 1024 && "$base" -le 65534 ]] ||
  die "--base-port takes a port number from 1024 to 65534"

# Paths as the user would type them from here.
shown() { echo "${1#"$PWD"/}"; }
shown_dir=""
[ "$dir" = "$repo/run/demo" ] || shown_dir=" --dir $(shown "$dir")"

air="$dir/air"
station="$dir/station"
pids="$dir/pids"

pid_of() { [ -e "$pids" ] && awk -v role="$1" '$2 == role { print $1; exit }' "$pids"; }
alive() { [ -n "$1" ] && kill -0 "$1" 2>/dev/null; }
demo_running() {
  local pid
  pid="$(pid_of demo)"
  alive "$pid" && tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -q 'demo\.sh'
}

if [ -n "$join" ]; then
  demo_running && [ -r "$air/ports" ] || die "no demo is running in $dir; start one with scripts/demo.sh$shown_dir"
  port="$(sed -n 2p "$air/ports")"
  served="$(grep -i '^CALLSIGN=' "$station/Palavoro.INI" | head -n 1 | cut -d= -f2 | tr -d '\r ')"
  echo "demo: $join joins $served on the running demo (Dire Wolf node AIR1, AGW port $port)." >&2
  echo "Type a line to chat, /H for the commands, /B to leave; /quit or Ctrl-D disconnects." >&2
  python3 "$repo/tools/agwterm.py" --port "$port" --mycall "$join" --connect "$served"
  status=$?
  demo_running || echo "demo: the demo has ended (its first terminal closed)." >&2
  exit "$status"
fi

mkdir -p "$dir" || die "cannot make $dir"
dir="$(cd "$dir" && pwd)"
air="$dir/air"
station="$dir/station"
pids="$dir/pids"

if demo_running; then
  die "a demo is already running in $dir (PID $(pid_of demo)): join it with scripts/demo.sh --join CALL$shown_dir, or end it first"
fi

# A demo that was killed outright leaves its processes and pids files behind.
stale="$(pid_of palavoro)"
if alive "$stale" && [ "$(readlink "/proc/$stale/cwd")" = "$station" ]; then
  kill -TERM "$stale"
  for _ in $(seq 50); do alive "$stale" || break; sleep 0.1; done
fi
if [ -e "$air/pids" ]; then
  "$repo/tools/air/air-down" "$air" 2>/dev/null || die "could not stop the channel left in $air"
fi
rm -f "$pids"

if [ -n "${PALAVORO_BIN:-}" ]; then
  bin="$PALAVORO_BIN"
  [ -x "$bin" ] || die "PALAVORO_BIN=$bin is not a program"
  command -v direwolf >/dev/null || die "direwolf is not installed: run scripts/install-deps.sh"
else
  # The build says nothing while CMake configures it, which takes a while the first time.
  echo "demo: building palavoro (scripts/build.sh; a few minutes the first time) ..." >&2
  bin="$("$repo/scripts/build.sh")" || die "the build failed"
fi

pal=""
term=""
air_up=0
finish() {
  trap '' INT TERM HUP
  if alive "$term"; then
    # The terminal is still saying goodbye over the air after Ctrl-C.
    for _ in $(seq 200); do alive "$term" || break; sleep 0.1; done
    alive "$term" && kill -TERM "$term" 2>/dev/null
  fi
  [ -z "$term" ] || wait "$term" 2>/dev/null
  if alive "$pal"; then
    kill -TERM "$pal"
    for _ in $(seq 100); do alive "$pal" || break; sleep 0.1; done
    alive "$pal" && kill -KILL "$pal" 2>/dev/null
  fi
  [ -z "$pal" ] || wait "$pal" 2>/dev/null
  if [ "$air_up" = 1 ]; then
    "$repo/tools/air/air-down" "$air" || echo "demo: air-down $air failed" >&2
  fi
  rm -f "$pids"
  echo "demo: stopped palavoro and the simulated channel; trace in $(shown "$station")/Palavoro.LOG" >&2
}
on_signal() {
  # Ctrl-C reaches the terminal by itself; other signals are passed on so that it
  # disconnects before everything stops.
  [ "$1" = INT ] || { alive "$term" && kill -INT "$term" 2>/dev/null; }
  exit "$2"
}
trap finish EXIT
trap 'on_signal INT 130' INT
trap 'on_signal TERM 143' TERM
trap 'on_signal HUP 129' HUP
echo "$$ demo" >"$pids"

if [ -n "$base" ]; then
  bases=("$base")
else
  bases=(8010 8110 8210 8310 8410 8510 8610 8710 8810 8910)
fi
for try in "${bases[@]}"; do
  if out="$("$repo/tools/air/air-up" "$air" --nodes 2 --base-port "$try" 2>&1)"; then
    base="$try"
    air_up=1
    break
  fi
  case "$out" in
    *"already in use"*) [ ${#bases[@]} -gt 1 ] || die "${out#air-up: } (choose another --base-port)" ;;
    *) die "${out#air-up: }" ;;
  esac
done
[ "$air_up" = 1 ] || die "no free pair of AGW ports among ${bases[*]}"

# The status page on 8080 when it is free, else on any free port: another
# program's page must not pass for the demo's.
web="$(python3 -c '
import socket
for port in (8080, 0):
    with socket.socket() as s:
        try:
            s.bind(("127.0.0.1", port))
        except OSError:
            continue
        print(s.getsockname()[1])
        break
')" || die "no free port for the status page"

mkdir -p "$station"
sed -e "s/^IP_ADDRESS=.*/IP_ADDRESS=127.0.0.1/" -e "s/^TCP_PORT=.*/TCP_PORT=$base/" \
  -e "s/^CALLSIGN=.*/CALLSIGN=$server/" -e "s/^CREATEAREA=.*/CREATEAREA=YES/" -e "s/^DEBUG=.*/DEBUG=YES/" \
  -e "s/^TRACE=.*/TRACE=3/" -e "s/^TIMEOUT=.*/TIMEOUT=3600000/" -e "s/^STATUS=.*/STATUS=127.0.0.1:$web/" \
  "$repo/examples/Palavoro.INI" >"$station/Palavoro.INI"
for setting in "TCP_PORT=$base" "CALLSIGN=$server" "TRACE=3" "TIMEOUT=3600000" "STATUS=127.0.0.1:$web"; do
  grep -q "^$setting\$" "$station/Palavoro.INI" || die "examples/Palavoro.INI has no $setting line to set"
done
[ -d "$station/TEXT" ] || cp -r "$repo/examples/TEXT" "$station/"
[ -e "$station/Palavoro.USR" ] || : >"$station/Palavoro.USR"

# Its own session, so that Ctrl-C reaches the terminal only and the server is
# still there to see the user leave; its own instance name, so that a server of
# yours on this machine does not keep it from starting.
# The trace is kept across runs: only what this run adds counts.
traced_before=$(($(stat -c %s "$station/Palavoro.LOG" 2>/dev/null || echo 0) + 1))
(cd "$station" && exec setsid env -u DISPLAY -u WAYLAND_DISPLAY PALAVORO_INSTANCE="palavoro-demo-$$" "$bin") \
  </dev/null >"$dir/palavoro.out" 2>&1 &
pal=$!
echo "$pal palavoro" >>"$pids"

registered="{PALAVORO} Registered <$server> rc(1)"
this_run() { tail -c "+$traced_before" "$station/Palavoro.LOG" 2>/dev/null; }
for _ in $(seq 600); do
  this_run | grep -aqF "$registered" && break
  alive "$pal" || die "palavoro ended before registering $server: $(tail -n 3 "$dir/palavoro.out")"
  sleep 0.1
done
this_run | grep -aqF "$registered" ||
  die "palavoro did not register $server with Dire Wolf within a minute (see $station/Palavoro.LOG)"
# Each line of the server's starts with its UTC time.
said() { sed -n "s|^[0-9TZ:-]* \\($1\\)$|\\1|p" "$dir/palavoro.out" | tail -n 1; }
page="$(said 'Palavoro: status page on http://.*' | sed 's|^Palavoro: status page on ||')"
[ -n "$page" ] || page="none: $(said 'Palavoro: no status page.*')"

cat >&2 <<EOF

Palavoro demo: a chat server on a simulated radio channel, no radio needed.
  server    $server on Dire Wolf node AIR0 (AGW port $base), working in $(shown "$station")
  you       $call on Dire Wolf node AIR1 (AGW port $((base + 1)))
  channel   logs in $(shown "$air")
  status    $page

A second user, in another terminal:   scripts/demo.sh --join N0TWO$shown_dir
Type a line to chat, /H for the commands, /B to leave the server.
/quit or Ctrl-D disconnects and ends the demo.

EOF

# Standard input explicitly, since a background command gets /dev/null; SIGINT at
# its default, since a background command ignores it and Ctrl-C must reach it.
exec 3<&0
env --default-signal=INT python3 "$repo/tools/agwterm.py" --port "$((base + 1))" --mycall "$call" \
  --connect "$server" <&3 3<&- &
term=$!
exec 3<&-
echo "$term agwterm" >>"$pids"
wait "$term"
status=$?
term=""
exit "$status"
