#!/usr/bin/env bash
# Records the System V shared memory and semaphore sets that exist before the
# tests run ("snapshot FILE"), and afterwards ("check FILE") fails if a set
# exists that was not there before, listing it. Sets that tests leave behind
# would otherwise pile up until the system's limits refuse new ones.
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
        # Remove them, so that one failing run does not poison the next.
        while read -r kind id; do
            ipcrm "-$kind" "$id" 2>/dev/null || true
        done <<< "$leaked"
        exit 1
    fi
    echo "No shared memory or semaphore set left behind."
    ;;
*)
    echo "usage: $0 snapshot|check FILE" >&2
    exit 2
    ;;
esac
