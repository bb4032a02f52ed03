#!/usr/bin/env bash
# Builds Palavoro and runs it in a station directory.
#
#   scripts/run.sh [DIR]    # DIR defaults to station/ in the repository
#
# A new station directory gets a sample Palavoro.INI, an empty Palavoro.USR and
# the sample TEXT files; edit them for your station. When no AGW engine answers
# where Palavoro.INI points and you are at a terminal, it offers the demo
# (scripts/demo.sh) instead. Ctrl-C ends the server.
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
usage() { sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'; }
case "${1:-}" in
  -h | --help) usage; exit 0 ;;
  -*) usage >&2; exit 2 ;;
esac
[ $# -le 1 ] || { usage >&2; exit 2; }
station="${1:-$repo/station}"
echo "run: building palavoro (scripts/build.sh; a few minutes the first time) ..." >&2
bin="$("$repo/scripts/build.sh")"
mkdir -p "$station"
if [ ! -e "$station/Palavoro.INI" ]; then
  cp "$repo/examples/Palavoro.INI" "$station/"
  touch "$station/Palavoro.USR"
  cp -r "$repo/examples/TEXT" "$station/"
  echo "New station directory $station: edit Palavoro.INI (CALLSIGN, IP_ADDRESS, TCP_PORT) for your station." >&2
fi

# Where Palavoro.INI points the server (HOSTNAME before IP_ADDRESS), "HOST PORT".
engine_address() {
  python3 - "$station/Palavoro.INI" <<'PY'
import sys
keys, section = {}, ""
try:
    lines = open(sys.argv[1], encoding="latin-1").read().splitlines()
except OSError:
    lines = []
for line in lines:
    line = line.strip()
    if line.startswith("[") and "]" in line:
        section = line[1:line.index("]")].strip().upper()
    elif section == "PALAVORO" and "=" in line and not line.startswith(";"):
        key, value = line.split("=", 1)
        keys.setdefault(key.strip().upper(), value.strip())
print(keys.get("HOSTNAME") or keys.get("IP_ADDRESS") or "127.0.0.1", keys.get("TCP_PORT") or "8000")
PY
}
# Fails only when the engine cannot be reached; a port that is no number is left
# for the server to report.
engine_answers() {
  python3 - "$1" "$2" <<'PY'
import socket, sys
try:
    port = int(sys.argv[2])
except ValueError:
    sys.exit(0)
try:
    socket.create_connection((sys.argv[1], port), timeout=3).close()
except (OSError, OverflowError):
    sys.exit(1)
PY
}
if [ -t 0 ]; then
  read -r host port < <(engine_address) || true
  if ! engine_answers "$host" "$port"; then
    read -r -p "No AGW engine answers at $host:$port. Start the demo on a simulated radio channel instead? [Y/n] " \
      answer || answer=n
    case "${answer:-y}" in
      [Yy]*) PALAVORO_BIN="$bin" exec "$repo/scripts/demo.sh" ;;
    esac
  fi
fi

cd "$station"
echo "Running $bin in $station (trace: $station/Palavoro.LOG); Ctrl-C ends it." >&2
exec "$bin"
