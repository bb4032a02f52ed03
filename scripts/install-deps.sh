#!/usr/bin/env bash
# Installs the Debian 12 packages that building, running and testing need.
# Skips apt when everything is there already.
set -euo pipefail
packages=(
  cmake ninja-build g++ pkg-config   # the build
  qt6-base-dev                       # event loop, TCP socket, timers, tray icon, dialogs
  libsimpleini-dev                   # INI-style files (Palavoro.INI, Palavoro.USR)
  googletest libgtest-dev libgmock-dev  # unit and integration tests
  libbenchmark-dev                   # benchmarks
  python3                            # scripted AGWPE peers in the integration tests
  clang libclang-rt-14-dev llvm-14   # fuzz targets (libFuzzer) and their coverage report
  direwolf                           # the real AGW engine for the end-to-end tests
  xvfb xauth trayer x11-apps imagemagick  # the tray smoke test under a virtual display
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
