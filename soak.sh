#!/usr/bin/env bash
# The soak run: the release build plays the soak boot script (data/soak.lua) for a long
# time on each backend and checks that it stays healthy: exit code 0, every allocator back
# at zero, resident memory within 5 % of its value after a 30-second warm-up. It prints the
# resident memory after the warm-up, every minute and at the end, and the frame step and
# processor time a frame every 10 s of play (tests/application/soak_test.sh does the run).
#   ./soak.sh                  10 minutes on the headless device, then 10 on OpenGL
#   ./soak.sh 120 gl           2 minutes on the OpenGL backend only
# Exit status is non-zero when any run failed.
set -euo pipefail
cd "$(dirname "$0")"
seconds="${1:-600}"
shift || true
backends=("$@")
[ ${#backends[@]} -gt 0 ] || backends=(headless gl)

.ci/install-deps
dir=build/release
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTALLOW_BUILD_TESTS=OFF >/dev/null
cmake --build "$dir" -j "$(nproc)"

status=0
for backend in "${backends[@]}"; do
    echo "== soak: ${seconds} s on the ${backend} backend"
    if ! TALLOW_D3D11_BACKEND="$backend" tests/application/soak_test.sh "$dir/tallow" "$dir/data" "$seconds"; then
        status=1
    fi
done
exit "$status"
