#!/usr/bin/env bash
# The soak run: the program plays the soak boot script (data/soak.lua, "-ini soak") for
# SECONDS seconds of play and quits by itself. Passes when
#   - the program exits 0,
#   - no TraceAllocator is destroyed with live allocations (each would log a line),
#   - its resident memory, read once a second, stays within 5 % of what it was after a
#     30-second warm-up, to the end (skipped with --no-memory-bound: sanitizers that keep
#     freed memory or shadow it grow by design).
# It prints the resident memory after the warm-up, every minute and at the end, and the soak
# script's lines (frame step and processor time a frame every 10 s of play). The backend is
# the environment's (TALLOW_D3D11_BACKEND: headless by default, or gl). SOAK_RSS_LOG names a
# file that receives every reading ("seconds kilobytes").
#
#   soak_test.sh PROGRAM DATA_DIR SECONDS [--no-memory-bound]
set -u
program=$1
data_dir=$2
seconds=$3
memory_bound=1
[ "${4:-}" = "--no-memory-bound" ] && memory_bound=0
warm_up=30
tolerance=5 # per cent

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export XDG_CONFIG_HOME="$work" XDG_DATA_HOME="$work"
export SDL_VIDEODRIVER="${SDL_VIDEODRIVER:-dummy}" SDL_AUDIODRIVER="${SDL_AUDIODRIVER:-dummy}"

# The program quits after SECONDS of play; a loaded machine plays slower than the wall clock,
# so the safety net (a close request, then a kill) comes well after.
timeout -k 30 -s TERM $((seconds * 3 + 120)) \
    "$program" -data-dir "$data_dir" -ini soak -soak-seconds "$seconds" >"$work/engine.log" 2>&1 &
pid=$!
start=$(date +%s)
rss_kb() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status" 2>/dev/null; }
# The process under timeout is its child; its resident memory is the engine's.
engine=""
for _ in $(seq 50); do
    engine=$(pgrep -P "$pid" | head -n 1)
    [ -n "$engine" ] && break
    sleep 0.1
done
base="" low="" high="" last="" next_minute=60
while kill -0 "$pid" 2>/dev/null; do
    sleep 1
    # Shutdown gives memory back: the bound covers the play only.
    grep -q "soak: .* played, quitting" "$work/engine.log" && break
    now=$(( $(date +%s) - start ))
    rss=$(rss_kb "${engine:-$pid}")
    [ -n "$rss" ] || continue
    last=$rss
    [ -n "${SOAK_RSS_LOG:-}" ] && echo "$now $rss" >>"$SOAK_RSS_LOG"
    if [ -z "$base" ] && [ "$now" -ge "$warm_up" ]; then
        base=$rss low=$rss high=$rss
        echo "soak_test: resident memory at ${now} s (after the warm-up): $((rss / 1024)) MB"
    elif [ -n "$base" ]; then
        [ "$rss" -lt "$low" ] && low=$rss
        [ "$rss" -gt "$high" ] && high=$rss
    fi
    if [ "$now" -ge "$next_minute" ]; then
        echo "soak_test: resident memory at ${now} s: $((rss / 1024)) MB"
        next_minute=$((next_minute + 60))
    fi
done
wait "$pid"
code=$?
elapsed=$(( $(date +%s) - start ))

grep 'soak: ' "$work/engine.log" | sed -e 's/^/  /'
echo "soak_test: ${elapsed} s of wall clock; exit code $code; resident memory at the end of play $(( ${last:-0} / 1024 )) MB"
status=0
if [ "$code" -ne 0 ]; then
    echo "soak_test: FAILED: the program exited with $code; the end of its log:"
    tail -n 40 "$work/engine.log"
    status=1
fi
if grep -q "destroyed with [0-9]* live allocations" "$work/engine.log"; then
    echo "soak_test: FAILED: allocators destroyed with live allocations:"
    grep "destroyed with [0-9]* live allocations" "$work/engine.log" | head -n 20
    status=1
fi
if [ -z "$base" ]; then
    echo "soak_test: FAILED: the run ended before the ${warm_up}-second warm-up"
    status=1
elif [ "$memory_bound" -eq 1 ]; then
    lowest=$((base * (100 - tolerance) / 100))
    highest=$((base * (100 + tolerance) / 100))
    echo "soak_test: after the warm-up resident memory stayed between $((low / 1024)) and $((high / 1024)) MB" \
         "(bound: $((lowest / 1024)) to $((highest / 1024)) MB)"
    if [ "$low" -lt "$lowest" ] || [ "$high" -gt "$highest" ]; then
        echo "soak_test: FAILED: resident memory left ±${tolerance} % of its value after the warm-up"
        status=1
    fi
fi
[ "$status" -eq 0 ] && echo "soak_test: passed"
exit "$status"
