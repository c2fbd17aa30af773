#!/usr/bin/env bash
# The engine against SQLite and LMDB: builds the Release benchmark and runs
# it, passing the options on (--n N, --r R, --seed S, --systems LIST,
# --last-phase K; see bench/OrvPeersBench.cpp).
#
# Every run works in a fresh private directory under /tmp. It is removed
# afterwards, also when the run fails or is interrupted, together with the
# shared memory and semaphore sets that the run recorded as its own (a run
# that ends normally has removed them itself). No other set is touched.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${ORV_BENCH_BUILD_DIR:-$top/build/rel}
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DORV_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j"${ORV_BUILD_JOBS:-2}" --target OrvPeersBench >/dev/null
program="$build/bench/OrvPeersBench"
work=$(mktemp -d /tmp/orv-peers.XXXXXX)
cleanup() {
    "$program" --cleanup "$work/ipc-sets" || true
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
"$program" --dir "$work" --ipc-record "$work/ipc-sets" "$@"
