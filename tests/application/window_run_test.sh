#!/usr/bin/env bash
# The engine in a real window: the program runs the sample data with the window backend
# (TALLOW_D3D11_BACKEND=gl-window, SDL's X11 driver) under a virtual X server, as
# `./run.sh --window` runs it on a desktop. Passes when the program exits 0 within the time
# limit, its device presented frames, and a screenshot of the X screen taken while it ran
# shows them (most of the screen lit; the server's root window is black).
#
#   window_run_test.sh PROGRAM DATA_DIR      exit 77 (skipped) without xvfb-run or xwd
set -u
program=$1
data_dir=$2
for tool in xvfb-run xwd; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "skipped: $tool is not installed (Debian packages xvfb and x11-apps)"
        exit 77
    fi
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export XDG_CONFIG_HOME="$work" XDG_DATA_HOME="$work" SDL_AUDIODRIVER=dummy TALLOW_D3D11_BACKEND=gl-window
unset SDL_VIDEODRIVER # test.sh asks for SDL's dummy driver; this run wants X11

# Inside the X server: the program in the background, a screenshot every half second while
# it lives (the last one kept), then the program's exit code.
cat >"$work/inside.sh" <<'INSIDE'
"$1" -data-dir "$2" >"$3/engine.log" 2>&1 &
pid=$!
while kill -0 "$pid" 2>/dev/null; do
    sleep 0.5
    if xwd -root -silent >"$3/shot.tmp" 2>/dev/null && kill -0 "$pid" 2>/dev/null; then
        mv "$3/shot.tmp" "$3/shot.xwd"
    fi
done
wait "$pid"
INSIDE

width=1280
height=720
timeout --kill-after=10 120 xvfb-run -a -s "-screen 0 ${width}x${height}x24 -br" \
    bash "$work/inside.sh" "$program" "$data_dir" "$work"
status=$?
fail() {
    echo "FAILED: $*"
    echo "--- engine log (last 30 lines) ---"
    tail -n 30 "$work/engine.log" 2>/dev/null
    exit 1
}
[ "$status" -eq 124 ] && fail "the program did not end within 120 s"
[ "$status" -eq 0 ] || fail "exit code $status"
grep -q "no OpenGL 4.5 context" "$work/engine.log" && fail "the layer fell back to its headless backend"
presents=$(sed -n 's/.*device closed after \([0-9]*\) presents.*/\1/p' "$work/engine.log" | tail -n 1)
[ -n "$presents" ] && [ "$presents" -ge 10 ] || fail "the device presented ${presents:-no} frames (at least 10 expected)"
[ -s "$work/shot.xwd" ] || fail "no screenshot was taken while the program ran"
# The screenshot ends with the screen's pixels, 4 bytes each: count the lit ones.
pixel_bytes=$((width * height * 4))
lit_bytes=$(tail -c "$pixel_bytes" "$work/shot.xwd" | tr -d '\000' | wc -c)
[ "$lit_bytes" -ge $((width * height)) ] ||
    fail "the screen shows no frame ($lit_bytes of $pixel_bytes screenshot bytes are not zero)"
echo "window run: exit 0, $presents presents, $lit_bytes of $pixel_bytes screenshot bytes lit"
