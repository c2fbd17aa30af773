#!/usr/bin/env bash
# Records the System V shared memory and semaphore sets that exist before the
# tests run ("snapshot FILE"), and afterwards ("check FILE") fails if a set
# exists that was not there before, listing it. Sets that tests leave behind
# would otherwise pile up until the system's limits refuse new ones. Run the
# tests of one build at a time: sets of a concurrent run count as leaks.
set -euo pipefail
mode=$1
file=$2
list_ids() {
    ipcs -m | awk 'NR > 3 && $2 ~ /^[0-9]+$/ { print "m " $2 }'
    ipcs -s | awk 'NR > 3 && $2 ~ /^[0-9]+$/ { print "s " $2 }'
}
case "$mode" in
snapshot)
    list_ids | sort > "$file"
    ;;
check)
    leaked=$(comm -13 "$file" <(list_ids | sort) || true)
    if [ -n "$leaked" ]; then
        echo "Sets left behind by the tests:"
        echo "$leaked"
        # They are not removed here: on a shared machine they may belong to
        # another run that is still going. Remove them with ipcrm.
        exit 1
    fi
    echo "No shared memory or semaphore set left behind."
    ;;
*)
    echo "usage: $0 snapshot|check FILE" >&2
    exit 2
    ;;
esac
