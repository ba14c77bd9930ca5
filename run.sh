#!/usr/bin/env bash
# Builds the engine and runs it on the sample data in data/, without a window by default.
#   ./run.sh                 offscreen run (at most TALLOW_RUN_SECONDS, default 30)
#   ./run.sh --window        opens a real window (needs a display)
#   ./run.sh -- ARGS...      extra engine options
# The Direct3D layer draws through OpenGL on Mesa: offscreen through EGL without a display
# server, or into the window with --window. TALLOW_D3D11_BACKEND (headless, gl, gl-window)
# overrides the choice; without a usable OpenGL 4.5 context the layer says so in one line and
# falls back to its headless backend.
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
# The compiled sample data; the source folder until the data compiler has filled it.
data_dir="$dir/data"
[ -f "$data_dir/settings.ini" ] || data_dir=data
if [ "$window" -eq 0 ]; then
    export TALLOW_D3D11_BACKEND="${TALLOW_D3D11_BACKEND:-gl}"
    export SDL_VIDEODRIVER="${SDL_VIDEODRIVER:-dummy}"
    export SDL_AUDIODRIVER="${SDL_AUDIODRIVER:-dummy}"
    # A headless run ends by itself when the game quits; at the latest after
    # TALLOW_RUN_SECONDS (default 30: the sample quits by itself after a few seconds; this is the safety net for a loaded machine) a SIGTERM asks it to close, which the engine treats
    # like closing the window: an orderly shutdown and exit code 0.
    exec timeout --foreground --preserve-status -s TERM "${TALLOW_RUN_SECONDS:-30}" \
        "$dir/tallow" -data-dir "$data_dir" ${engine_args[@]+"${engine_args[@]}"}
fi
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ -z "${SDL_VIDEODRIVER:-}" ]; then
    # SDL would quietly fall back to its offscreen driver: the run would show nothing.
    echo "run.sh: no window could be opened (no display: DISPLAY and WAYLAND_DISPLAY are unset); running without one"
fi
export TALLOW_D3D11_BACKEND="${TALLOW_D3D11_BACKEND:-gl-window}"
exec "$dir/tallow" -data-dir "$data_dir" ${engine_args[@]+"${engine_args[@]}"}
