#!/bin/bash
# Installs, upgrades and purges the package inside a private mount namespace
# (run it with `unshare --mount`): /usr, /etc and /var are overlays on a tmpfs,
# so nothing it does outlives the namespace. Prints "key value" lines.
#
#   install_in_namespace.sh DEB SCRATCH
set -euo pipefail
deb="$1" scratch="$2"
station=/var/lib/palavoro

mount --make-rprivate /
mkdir -p "$scratch/layers"
mount -t tmpfs tmpfs "$scratch/layers"
for dir in usr etc var; do
  mkdir -p "$scratch/layers/$dir-upper" "$scratch/layers/$dir-work"
  mount -t overlay overlay -o "lowerdir=/$dir,upperdir=$scratch/layers/$dir-upper,workdir=$scratch/layers/$dir-work" \
    "/$dir" || { echo "overlay unavailable"; exit 0; }
done
dpkg() { command dpkg "$@" >>"$scratch/dpkg.log" 2>&1 || { cat "$scratch/dpkg.log" >&2; exit 1; }; }

dpkg -i "$deb"
echo "user $(getent passwd palavoro)"
echo "station $(cd "$station" && find . -printf '%u:%g %m %P\n' | LC_ALL=C sort -k3 | sed 's/ $/ ./' | paste -sd '|')"

sed -i "s/^TCP_PORT=.*/TCP_PORT=8123/" "$station/Palavoro.INI"
rm "$station/TEXT/NEWS.INF"
dpkg -i "$deb"
echo "upgraded $(grep '^TCP_PORT=' "$station/Palavoro.INI") $(ls "$station/TEXT" | paste -sd ' ')"

systemctl enable palavoro.service >/dev/null 2>&1
dpkg -P palavoro
echo "purged $(ls "$station" | paste -sd ' ') links:$(find /etc/systemd/system -name palavoro.service -printf ' %P')"
