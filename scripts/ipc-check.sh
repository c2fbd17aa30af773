#!/usr/bin/env bash
# The leak check of a test run. Every test database directory appends the
# System V keys of its three memory sets to KEYS_FILE (the fixture does, when
# ORV_IPC_KEYS_FILE names the file). "start KEYS_FILE" empties the file before
# the tests run; "check KEYS_FILE" afterwards fails if a shared memory segment
# exists under one of the recorded keys, listing it. Only the tests' own keys
# are looked at, so other users of System V IPC on the machine (other test
# runs included) neither fail the check nor hide a leak. The semaphore sets of
# the latches have private keys and cannot be told apart this way; a latch
# lies in its memory set, which is found.
set -euo pipefail
mode=${1:-}
file=${2:-}
if [ -z "$file" ]; then
    echo "usage: $0 start|check KEYS_FILE" >&2
    exit 2
fi
case "$mode" in
start)
    : > "$file"
    ;;
check)
    if [ ! -f "$file" ]; then
        echo "No key file $file: the tests did not record their keys." >&2
        exit 1
    fi
    # ipcs -m prints: key shmid owner perms bytes nattch status.
    leaked=$(ipcs -m | awk 'NR == FNR { if ($1 ~ /^0x/) keys[tolower($1)] = 1; next }
                            $1 ~ /^0x/ && (tolower($1) in keys) { print "m " $2 " key " $1 " owner " $3 }' \
        "$file" - || true)
    if [ -n "$leaked" ]; then
        echo "Shared memory sets left behind by the tests (under the keys of their directories):"
        echo "$leaked"
        # Not removed here: the run that made them may want to look at them.
        # Remove them (and the latch semaphore set whose id is at the start
        # of the data) with ipcrm.
        exit 1
    fi
    echo "No shared memory set left under the $(sort -u "$file" | wc -l) keys of the tests' directories."
    ;;
*)
    echo "usage: $0 start|check KEYS_FILE" >&2
    exit 2
    ;;
esac
