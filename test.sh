#!/usr/bin/env bash
# Builds everything and runs every test through CTest.
#   ./test.sh                       normal build (build/test)
#   ./test.sh --sanitize=address    AddressSanitizer build (build/asan), allocators on malloc
#   ./test.sh --sanitize=thread     ThreadSanitizer build (build/tsan), allocators on malloc
#   ./test.sh --sanitize=undefined  UBSan build (build/ubsan)
#   ./test.sh ... -R Regex          extra arguments go to ctest
set -euo pipefail
cd "$(dirname "$0")"

sanitize=""
ctest_args=()
for arg in "$@"; do
    case "$arg" in
        --sanitize=*) sanitize="${arg#--sanitize=}" ;;
        *) ctest_args+=("$arg") ;;
    esac
done

.ci/install-deps test

case "$sanitize" in
    "") dir=build/test ;;
    address) dir=build/asan ;;
    thread) dir=build/tsan ;;
    undefined) dir=build/ubsan ;;
    *) echo "test.sh: --sanitize must be address, thread or undefined" >&2; exit 2 ;;
esac

jobs=$(nproc)
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTALLOW_SANITIZE="$sanitize" >/dev/null
cmake --build "$dir" -j "$jobs"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}"
export LSAN_OPTIONS="${LSAN_OPTIONS:-suppressions=$PWD/tests/lsan.supp}"
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp}"
export SDL_VIDEODRIVER="${SDL_VIDEODRIVER:-dummy}"
export SDL_AUDIODRIVER="${SDL_AUDIODRIVER:-dummy}"
ctest --test-dir "$dir" --output-on-failure -j "$jobs" ${ctest_args[@]+"${ctest_args[@]}"}
