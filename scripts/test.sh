#!/usr/bin/env bash
# Builds the engine and runs every test twice: in a plain debug build and in a
# build with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh"
jobs=${ORV_TEST_JOBS:-2}
for variant in debug asan; do
    dir="$top/build/test-$variant"
    sanitize=OFF
    [ "$variant" = asan ] && sanitize=ON
    echo "== $variant build"
    cmake -S "$top" -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DORV_SANITIZE=$sanitize >/dev/null
    cmake --build "$dir" -j"$jobs"
    echo "== $variant tests"
    ctest --test-dir "$dir" -j"$jobs" --output-on-failure
done
