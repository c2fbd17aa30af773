#!/usr/bin/env bash
# Builds the engine and runs its main job on the demo database ./demo-db:
# starts the engine there and stops it again, so the command can run again.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh"
cmake -S "$top" -B "$top/build/release" -DCMAKE_BUILD_TYPE=Release -DORV_BUILD_TESTS=OFF >/dev/null
cmake --build "$top/build/release" -j2
mkdir -p "$top/demo-db"
cd "$top/demo-db"
# The log files are written to the working directory, so run from inside the
# database directory.
export ORV_DATABASE_PATH="$top/demo-db"
"$top/build/release/orvstart"
"$top/build/release/orvstop"
