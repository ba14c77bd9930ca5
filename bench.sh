#!/usr/bin/env bash
# Builds and runs the benchmark programs under bench/ against their outside peers.
#   ./bench.sh               every benchmark
#   ./bench.sh NAME          only bench programs whose name contains NAME
#   ./bench.sh NAME ARGS...  ARGS go to each program (--benchmark_repetitions=5
#                            --benchmark_enable_random_interleaving=true: the runs compared
#                            take turns and each ratio is one of medians)
set -euo pipefail
cd "$(dirname "$0")"
.ci/install-deps bench
dir=build/bench
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTALLOW_BUILD_TESTS=OFF -DTALLOW_BUILD_BENCH=ON >/dev/null
cmake --build "$dir" -j "$(nproc)"
filter="${1:-}"
[ $# -gt 0 ] && shift
for program in "$dir"/bench/*_bench; do
    [ -x "$program" ] || continue
    case "$(basename "$program")" in *"$filter"*) ;; *) continue ;; esac
    echo "== $(basename "$program")"
    "$program" "$@"
done
