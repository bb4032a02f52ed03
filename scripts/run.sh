#!/usr/bin/env bash
# Builds Palavoro and runs it in a station directory (default: station/ in the
# repository). A new station directory gets a sample Palavoro.INI, an empty
# Palavoro.USR and the sample TEXT files; edit them for your station.
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
station="${1:-$repo/station}"
bin="$("$repo/scripts/build.sh")"
mkdir -p "$station"
if [ ! -e "$station/Palavoro.INI" ]; then
  cp "$repo/examples/Palavoro.INI" "$station/"
  touch "$station/Palavoro.USR"
  cp -r "$repo/examples/TEXT" "$station/"
  echo "New station directory $station: edit Palavoro.INI (CALLSIGN, IP_ADDRESS, TCP_PORT) for your station." >&2
fi
cd "$station"
echo "Running $bin in $station (trace: $station/Palavoro.LOG); Ctrl-C ends it." >&2
exec "$bin"
