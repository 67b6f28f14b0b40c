#!/usr/bin/env bash
# Builds the C++ benchmarks and runs each of them once, briefly: a check that
# they still compile, run and report no error, not a measurement. Needs Google
# Benchmark (Debian: libbenchmark-dev). The build tree, build/bench, is the
# one bench/compare.py looks in.
set -euo pipefail
cd "$(dirname "$0")/.."

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)

echo "== C++ benchmarks, each run once briefly"
cmake -S . -B build/bench "${generator[@]}" -DCMAKE_BUILD_TYPE=Release \
  -DAESO_BUILD_BENCHMARKS=ON -DAESO_BUILD_PYTHON=OFF >/dev/null
cmake --build build/bench -j2 --target bench_core

report=build/bench/smoke.json
build/bench/bench/bench_core --benchmark_min_time=0.001 \
  --benchmark_out="$report" --benchmark_out_format=json
# A benchmark that calls SkipWithError still lets the program exit 0.
if grep -q '"error_occurred": true' "$report"; then
  echo "a benchmark reported an error (see $report)" >&2
  exit 1
fi
