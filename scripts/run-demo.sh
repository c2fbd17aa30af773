#!/usr/bin/env bash
# Builds the engine and shows it at work on the demo database ./demo-db:
# starts the engine, runs the demo client orvdemo, shows a few dumps with
# orvshow (buffer pool, lock list, the demo's table and index), draws the
# demo's index into demo-db/demo-index.svg and stops the engine again, so the
# command can run again.
#
# ORV_DEMO_BIN=DIR uses the programs in DIR instead of installing and building
# (the tests do that); ORV_DEMO_DB=DIR uses another database directory.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
if [ -n "${ORV_DEMO_BIN:-}" ]; then
  bin=$ORV_DEMO_BIN
else
  "$top/scripts/install-deps.sh"
  cmake -S "$top" -B "$top/build/release" -DCMAKE_BUILD_TYPE=Release -DORV_BUILD_TESTS=OFF >/dev/null
  cmake --build "$top/build/release" -j2 --target orvstart orvstop orvshow orvdemo
  bin=$top/build/release
fi
db=${ORV_DEMO_DB:-$top/demo-db}
mkdir -p "$db"
db=$(cd "$db" && pwd)
# The log files are written to the working directory of orvstart, so run
# from inside the database directory.
cd "$db"
export ORV_DATABASE_PATH="$db"

step() {
  printf '\n==== %s\n' "$*"
}

# Runs a command and shows the first $1 lines of what it printed (a pipe
# into head could end the command early).
first_lines() {
  local lines=$1
  shift
  "$@" >"$db/show.out"
  head -n "$lines" "$db/show.out"
  if [ "$(wc -l <"$db/show.out")" -gt "$lines" ]; then
    echo "..."
  fi
}

# An engine that an interrupted earlier run left started is stopped first.
if "$bin/orvshow" transactionId >/dev/null 2>&1; then
  step "stopping the engine an earlier run left started"
  "$bin/orvstop" --force
fi

step "orvstart"
"$bin/orvstart"
# Whatever fails from here on, the engine is stopped again.
trap '"$bin/orvstop" --force >/dev/null 2>&1 || true' EXIT

step "orvdemo"
"$bin/orvdemo" | tee "$db/demo.out"
index_id=$(sed -n 's/^index id: //p' "$db/demo.out")
table_id=$(sed -n 's/^table id: //p' "$db/demo.out")

step "orvshow BM_STATS    (the buffer pool's hit ratios)"
"$bin/orvshow" BM_STATS
step "orvshow BM_STATS pages    (the pages in the buffer pool)"
first_lines 12 "$bin/orvshow" BM_STATS pages
step "orvshow LM_STATS all transactions    (the lock list: the demo's transactions all ended; what is left are the catalog locks of orvshow's own)"
"$bin/orvshow" LM_STATS all transactions
"$bin/orvshow" >"$db/show.out"
if grep -q '^  table_all' "$db/show.out"; then
  step "orvshow table_all dump DEMO    (the demo's table)"
  first_lines 40 "$bin/orvshow" table_all dump DEMO
fi
step "orvshow index_all info $index_id    (the demo's index, page by page)"
"$bin/orvshow" index_all info "$index_id"
step "orvshow --dot page $table_id 1    (the first page of the demo's table, in DOT)"
first_lines 8 "$bin/orvshow" --dot page "$table_id" 1
step "orvshow --dot tree $index_id --svg $db/demo-index.svg"
"$bin/orvshow" --dot tree "$index_id" --svg "$db/demo-index.svg"

step "orvstop"
trap - EXIT
"$bin/orvstop"
printf '\nThe picture of the demo'"'"'s index: %s\n' "$db/demo-index.svg"
printf 'More: %s --help\n' "$bin/orvshow"
