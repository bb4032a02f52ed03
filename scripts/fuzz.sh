#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) into build-fuzz and runs each one for a bounded
# time on its corpus in fuzz/corpus, with the protocol's dictionary. A crash,
# a failed check, a sanitizer report, a leak or a hang fails the run; the
# input that did it is kept in build-fuzz/artifacts.
#
# FUZZ_SECONDS: time per target (default 60); FUZZ_TARGETS: the targets to run
# (default all). New inputs the fuzzers find go to build-fuzz/corpus, never
# into the repository's corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-60}
read -r -a targets <<<"${FUZZ_TARGETS:-$(cd fuzz/corpus && echo fuzz_*)}"

cmake -S . -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DPALAVORO_FUZZ=ON -DPALAVORO_TESTS=OFF \
  -DPALAVORO_BENCH=OFF >/dev/null
cmake --build build-fuzz -j "$(nproc)" --target "${targets[@]}"

mkdir -p build-fuzz/artifacts
for target in "${targets[@]}"; do
  mkdir -p "build-fuzz/corpus/$target"
  log="build-fuzz/$target.log"
  if ! "build-fuzz/fuzz/$target" -max_total_time="$seconds" -timeout=20 -dict=fuzz/palavoro.dict \
      -artifact_prefix="build-fuzz/artifacts/$target-" -print_final_stats=1 \
      "build-fuzz/corpus/$target" "fuzz/corpus/$target" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "fuzz: $target failed; the input is in build-fuzz/artifacts/ (log: $log)" >&2
    exit 1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  echo "fuzz: $target: ${runs:-?} inputs in ${seconds} s, no failure"
done
