#!/usr/bin/env bash
# Line coverage of the core (src/ without src/shell) by the fuzz corpora.
# Builds each target's replay driver with clang's source-based coverage into
# build-cov, replays every corpus input in a process of its own (so that one
# that fails a check loses only its own count), and prints the total line
# coverage; with -v the table per file as well.
#
# FUZZ_TARGETS: the targets (default all); FUZZ_CORPUS: the corpus directory
# holding one folder per target (default fuzz/corpus).
set -euo pipefail
cd "$(dirname "$0")/.."
verbose=0
[ "${1:-}" = -v ] && verbose=1
corpus=${FUZZ_CORPUS:-fuzz/corpus}
read -r -a targets <<<"${FUZZ_TARGETS:-$(cd fuzz/corpus && echo fuzz_*)}"
llvm_profdata=$(command -v llvm-profdata-14 || command -v llvm-profdata)
llvm_cov=$(command -v llvm-cov-14 || command -v llvm-cov)

flags="-fprofile-instr-generate -fcoverage-mapping"
cmake -S . -B build-cov -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" -DPALAVORO_BENCH=OFF >/dev/null
cmake --build build-cov -j "$(nproc)" --target "${targets[@]/%/_replay}" >/dev/null

rm -rf build-cov/profiles
mkdir -p build-cov/profiles
objects=()
failed=0
for target in "${targets[@]}"; do
  binary="build-cov/fuzz/${target}_replay"
  objects+=(-object "$binary")
  for input in "$corpus/$target"/*; do
    (LLVM_PROFILE_FILE="build-cov/profiles/$target-%4m.profraw" "$binary" "$input") >/dev/null 2>&1 ||
      failed=$((failed + 1))
  done
done
"$llvm_profdata" merge -sparse build-cov/profiles/*.profraw -o build-cov/fuzz.profdata
sources=("$PWD/src/support" "$PWD/src/link" "$PWD/src/beacon" "$PWD/src/server")
report=$("$llvm_cov" report -instr-profile=build-cov/fuzz.profdata "${objects[@]:1}" "${sources[@]}")
[ "$verbose" = 1 ] && echo "$report"
[ "$failed" = 0 ] || echo "fuzz-coverage: $failed inputs failed a check (their runs are not counted)" >&2
echo "$report" | awk -v targets="${targets[*]}" '/^TOTAL/ {
  printf "line coverage of src/ (without src/shell) by the corpora of %s: %s (%d of %d lines)\n", targets, $10, $8 - $9, $8 }'
