#!/usr/bin/env bash
# The engine in a real window: the program runs the sample data with the window backend
# (TALLOW_D3D11_BACKEND=gl-window, SDL's X11 driver) under a virtual X server, as
# `./run.sh --window` runs it on a desktop. Passes when the program exits 0 within the time
# limit, its device presented frames, and a screenshot of the X screen taken while it ran
# shows them (most of the screen lit; the server's root window is black). Screenshots are
# taken every half second and the most lit one counts: the first come before the window
# opens and the last may come after it closed, while the program shuts down.
#
#   window_run_test.sh PROGRAM DATA_DIR [LIMIT_SECONDS]
#                                            exit 77 (skipped) without xvfb-run or xwd
set -u
program=$1
data_dir=$2
limit=${3:-120} # sanitizer builds play the sample's frames several times slower
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

width=1280
height=720
# Inside the X server: the program in the background and a screenshot every half second
# while it lives, each screenshot's count of lit bytes (its pixels come last, 4 bytes each)
# appended to lit.txt; then the program's exit code.
cat >"$work/inside.sh" <<'INSIDE'
"$1" -data-dir "$2" >"$3/engine.log" 2>&1 &
pid=$!
while kill -0 "$pid" 2>/dev/null; do
    sleep 0.5
    if xwd -root -silent >"$3/shot.xwd" 2>/dev/null; then
        tail -c "$4" "$3/shot.xwd" | tr -d '\000' | wc -c >>"$3/lit.txt"
    fi
done
wait "$pid"
INSIDE

pixel_bytes=$((width * height * 4))
timeout --kill-after=10 "$limit" xvfb-run -a -s "-screen 0 ${width}x${height}x24 -br" \
    bash "$work/inside.sh" "$program" "$data_dir" "$work" "$pixel_bytes"
status=$?
fail() {
    echo "FAILED: $*"
    echo "--- engine log (last 30 lines) ---"
    tail -n 30 "$work/engine.log" 2>/dev/null
    exit 1
}
[ "$status" -eq 124 ] && fail "the program did not end within $limit s"
[ "$status" -eq 0 ] || fail "exit code $status"
grep -q "no OpenGL 4.5 context" "$work/engine.log" && fail "the layer fell back to its headless backend"
presents=$(sed -n 's/.*device closed after \([0-9]*\) presents.*/\1/p' "$work/engine.log" | tail -n 1)
[ -n "$presents" ] && [ "$presents" -ge 10 ] || fail "the device presented ${presents:-no} frames (at least 10 expected)"
[ -s "$work/lit.txt" ] || fail "no screenshot was taken while the program ran"
lit_bytes=$(sort -n "$work/lit.txt" | tail -n 1)
shots=$(wc -l <"$work/lit.txt")
[ "$lit_bytes" -ge $((width * height)) ] ||
    fail "the screen showed no frame in $shots screenshots (at most $lit_bytes of $pixel_bytes bytes not zero)"
echo "window run: exit 0, $presents presents, $lit_bytes of $pixel_bytes bytes lit in the best of $shots screenshots"
