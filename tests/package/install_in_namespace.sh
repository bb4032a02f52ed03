#!/bin/bash
# Installs, upgrades and purges the package inside a private mount namespace
# (run it with `unshare --mount`): /usr, /etc and /var are overlays on a tmpfs,
# so nothing it does outlives the namespace. Prints "key value" lines.
#
#   install_in_namespace.sh DEB SCRATCH
set -euo pipefail
deb="$1" scratch="$2"
station=/var/lib/palavoro
conffile=/etc/palavoro/Palavoro.INI

mount --make-rprivate /
mkdir -p "$scratch/layers"
mount -t tmpfs tmpfs "$scratch/layers"
for dir in usr etc var; do
  mkdir -p "$scratch/layers/$dir-upper" "$scratch/layers/$dir-work"
  mount -t overlay overlay -o "lowerdir=/$dir,upperdir=$scratch/layers/$dir-upper,workdir=$scratch/layers/$dir-work" \
    "/$dir" || { echo "overlay unavailable"; exit 0; }
done
# Non-interactive: a changed conffile is kept, as answering "N" would.
dpkg() { command dpkg --force-confold "$@" </dev/null >>"$scratch/dpkg.log" 2>&1 || { cat "$scratch/dpkg.log" >&2; exit 1; }; }
files() { (cd "$1" && find . -printf '%u:%g %m %P%l\n' | LC_ALL=C sort -k3 | sed 's/ $/ ./' | paste -sd '|'); }

dpkg -i "$deb"
echo "user $(getent passwd palavoro)"
echo "station $(files "$station")"
echo "conffile $(stat -c '%U:%G %a' "$conffile")"

# The installed server, as the service runs it: its check reads the conffile
# through the link; with no engine it waits, traces in the station and stops
# on SIGTERM with status 0.
echo "check $(runuser -u palavoro -- palavoro --dir "$station" --check 2>&1 | paste -sd '|')"
sed -i "s/^TCP_PORT=.*/TCP_PORT=9/" "$conffile"
(cd / && exec setpriv --reuid=palavoro --regid=palavoro --init-groups env PALAVORO_INSTANCE="palavoro-package-$$" QT_QPA_PLATFORM=offscreen \
  palavoro --dir "$station" >"$scratch/server.err" 2>&1) &
server=$!
for _ in $(seq 100); do grep -q "no AGW engine answers" "$scratch/server.err" && break; sleep 0.1; done
# The unit's reload, as systemctl runs it, and ctl.sock, which only the service's group may use.
reload=$(sed -n 's/^ExecReload=//p' /usr/lib/systemd/system/palavoro.service)
${reload//\$MAINPID/$server}
for _ in $(seq 50); do grep -q "{PALAVORO} Reload " "$station/Palavoro.LOG" && break; sleep 0.1; done
ours=$(runuser -u palavoro -- palavoro --dir "$station" ctl status >/dev/null 2>&1 && echo 0 || echo $?)
theirs=$(runuser -u nobody -- palavoro --dir "$station" ctl status 2>&1 | grep -c "Permission denied" || true)
echo "ctl $(grep -c "{PALAVORO} Reload " "$station/Palavoro.LOG") $(stat -c '%U:%G %a' "$station/ctl.sock") $ours $theirs"
kill -TERM "$server" 2>/dev/null || true
status=0
wait "$server" || status=$?
echo "ran $status $(grep -c "{PALAVORO} Start " "$station/Palavoro.LOG") $(grep -o "no AGW engine answers at [0-9.:]*" "$scratch/server.err")"

# An upgrade keeps the sysop's changes (the conffile, the texts) and the conffile's mode.
rm "$station/TEXT/NEWS.INF"
dpkg -i "$deb"
echo "upgraded $(grep '^TCP_PORT=' "$station/Palavoro.INI") $(stat -c '%U:%G %a' "$conffile") $(ls "$station/TEXT" | paste -sd ' ')"

systemctl enable palavoro.service >/dev/null 2>&1
dpkg -P palavoro
echo "purged $(ls "$station" | paste -sd ' ') etc:$([ -e /etc/palavoro ] && echo kept || echo gone) links:$(find /etc/systemd/system -name palavoro.service -printf ' %P')"

# A station that has its own Palavoro.INI keeps it on the first installation.
printf '[PALAVORO]\r\nCALLSIGN=N0OWN\r\n' >"$station/Palavoro.INI"
dpkg -i "$deb"
echo "own $(stat -c '%F' "$station/Palavoro.INI") $(grep -c N0OWN "$station/Palavoro.INI")"
