#!/usr/bin/env bash
# Installs what is needed and builds the program into build/src... (prints its path).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh >&2
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target palavoro >&2
echo "$PWD/build/palavoro"
