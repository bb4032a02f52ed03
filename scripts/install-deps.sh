#!/usr/bin/env bash
# Installs the Debian 12 packages that Palavoro needs. Skips apt when everything
# is there already.
#
#   scripts/install-deps.sh           # building, running, the demo and the Debian package
#   scripts/install-deps.sh --tests   # also what only the tests and benchmarks need
set -euo pipefail
packages=(
  cmake ninja-build g++ pkg-config   # the build
  qt6-base-dev                       # event loop, TCP socket, timers, tray icon, dialogs
  libmicrohttpd-dev                  # the status page's HTTP server, with limits on what a client can make it hold
  libsimpleini-dev                   # INI-style files (Palavoro.INI, Palavoro.USR)
  libsystemd-dev                     # sd_notify: ready, status and watchdog under systemd
  libcrypt-dev                       # crypt (yescrypt): the passwords of chat users over TCP
  python3                            # scripts/run.sh, the demo's channel and terminal
  direwolf                           # the AGW engine on Linux, and the demo's radio channel
  dpkg-dev file                      # cpack -G DEB: dpkg-shlibdeps computes the package's dependencies
)
test_packages=(
  googletest libgtest-dev libgmock-dev  # unit and integration tests
  libbenchmark-dev                   # benchmarks
  nlohmann-json3-dev                 # the fuzz targets read the status page's JSON with it
  systemd adduser                    # the test of the Debian package: systemd-analyze, installing it
  lintian man-db                     # the test of the Debian package: lintian, man -l on its page
  clang libclang-rt-14-dev llvm-14   # fuzz targets (libFuzzer) and their coverage report
  xvfb xauth trayer x11-apps imagemagick  # looking at the tray icon under a virtual display
  chromium                           # the status page in a real browser, headless
  util-linux mount                   # unshare: the tests' private network and mount namespaces
)
case "${1:-}" in
  "") ;;
  --tests) packages+=("${test_packages[@]}") ;;
  -h | --help) sed -n '2,6p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
  *) sed -n '2,6p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2 ;;
esac
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
