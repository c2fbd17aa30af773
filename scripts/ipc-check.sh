#!/usr/bin/env bash
# The leak check of a test run. Every test database directory appends the
# System V keys of its three memory sets, with its path, to KEYS_FILE (the
# fixture does, when ORV_IPC_KEYS_FILE names the file). "start KEYS_FILE"
# empties the file before the tests run; "check KEYS_FILE CHECKER" afterwards
# runs the checker program (tests/helpers/orv_ipc_check), which fails if a
# shared memory set of one of those directories is left, listing it. Only the
# tests' own keys are looked at, so other users of System V IPC on the machine
# (other test runs included) neither fail the check nor hide a leak. The
# semaphore sets of the latches have private keys and cannot be told apart
# this way; a latch lies in its memory set, which is found.
set -euo pipefail
mode=${1:-}
file=${2:-}
usage() {
    echo "usage: $0 start KEYS_FILE | check KEYS_FILE CHECKER" >&2
    exit 2
}
[ -n "$file" ] || usage
case "$mode" in
start)
    : > "$file"
    ;;
check)
    checker=${3:-}
    [ -n "$checker" ] || usage
    # Not removed here: the run that made them may want to look at them.
    exec "$checker" "$file"
    ;;
*)
    usage
    ;;
esac
