#!/bin/sh
# Builds the native tree if needed, runs draxo_bench (docs/benchmark.md and
# docs/benchmark.csv) and plots docs/benchmark.png.
#   scripts/bench.sh [BUILD_DIR] [draxo_bench options]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/native}
[ $# -gt 0 ] && shift
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
else
  cmake "$build" >/dev/null # picks up bench/ in a tree configured before it existed
fi
cmake --build "$build" -j2 --target draxo_bench draxo rexsim korvan
"$build/bin/draxo_bench" --out "$root/docs" "$@"
/usr/bin/python3 "$root/bench/plot.py" "$root/docs/benchmark.csv" "$root/docs/benchmark.png"
