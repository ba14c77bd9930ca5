#!/usr/bin/env bash
# Builds the engine and runs it on the sample data in data/, headless by default.
#   ./run.sh                 headless run
#   ./run.sh --window        opens a real window (needs a display)
#   ./run.sh -- ARGS...      extra engine options
set -euo pipefail
cd "$(dirname "$0")"

window=0
engine_args=()
while [ $# -gt 0 ]; do
    case "$1" in
        --window) window=1 ;;
        --) shift; engine_args+=("$@"); break ;;
        *) engine_args+=("$1") ;;
    esac
    shift
done

.ci/install-deps
dir=build/release
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTALLOW_BUILD_TESTS=OFF >/dev/null
cmake --build "$dir" -j "$(nproc)"

if [ ! -x "$dir/tallow" ]; then
    echo "run.sh: the engine program is not built yet; nothing to run."
    exit 0
fi
if [ "$window" -eq 0 ]; then
    export SDL_VIDEODRIVER="${SDL_VIDEODRIVER:-dummy}"
    export SDL_AUDIODRIVER="${SDL_AUDIODRIVER:-dummy}"
    engine_args=(-headless "${engine_args[@]+"${engine_args[@]}"}")
fi
exec "$dir/tallow" -data-dir "$dir/data" "${engine_args[@]}"
