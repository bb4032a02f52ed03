#!/bin/bash
# Installs, upgrades and purges the package inside a private mount namespace
# (run it with `unshare --mount`): /usr, /etc and /var are overlays on a tmpfs,
# so nothing it does outlives the namespace. Prints "key value" lines.
#
#   install_in_namespace.sh DEB SCRATCH ENGINE_PORT MARKER INSTANCE
#
# In between it starts the installed server as the palavoro user with the
# unit's environment against the engine on 127.0.0.1:ENGINE_PORT, and stops it
# once the file MARKER appears (the engine's side is done).
set -euo pipefail
deb="$1" scratch="$2" port="$3" marker="$4" instance="$5"
station=/var/lib/palavoro

mount --make-rprivate /
layers="$scratch/layers"
mkdir -p "$layers"
mount -t tmpfs tmpfs "$layers"
for dir in usr etc var; do
  mkdir -p "$layers/$dir-upper" "$layers/$dir-work"
  if ! mount -t overlay overlay -o "lowerdir=/$dir,upperdir=$layers/$dir-upper,workdir=$layers/$dir-work" "/$dir"; then
    echo "overlay unavailable"
    exit 0
  fi
done
joined() { paste -sd '|' | sed 's/|/ | /g'; }

dpkg -i "$deb" >"$scratch/dpkg.log" 2>&1 || { cat "$scratch/dpkg.log" >&2; exit 1; }
echo "user $(getent passwd palavoro)"
echo "station $(cd "$station" && find . -printf '%u:%g %m %P\n' | LC_ALL=C sort -k3 | sed 's/ $/ ./' | joined)"

sed -i "s/^TCP_PORT=.*/TCP_PORT=$port/" "$station/Palavoro.INI"
(cd "$station" && exec setpriv --reuid=palavoro --regid=palavoro --init-groups \
  env -i QT_QPA_PLATFORM=offscreen PALAVORO_INSTANCE="$instance" /usr/bin/palavoro) \
  >"$scratch/server.out" 2>&1 </dev/null &
server=$!
for _ in $(seq 600); do
  [ -e "$marker" ] && break
  sleep 0.1
done
kill -TERM "$server"
status=0
wait "$server" || status=$?
echo "server $status"

rm "$station/TEXT/NEWS.INF"
dpkg -i "$deb" >>"$scratch/dpkg.log" 2>&1
echo "upgraded $(grep '^TCP_PORT=' "$station/Palavoro.INI") | $(ls "$station/TEXT" | paste -sd ' ')"

systemctl enable palavoro.service >/dev/null 2>&1
dpkg -P palavoro >>"$scratch/dpkg.log" 2>&1
echo "purged $(ls "$station" | paste -sd ' ') | links:$(find /etc/systemd/system -name palavoro.service -printf ' %P')"
