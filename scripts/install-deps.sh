#!/usr/bin/env bash
# Installs the packages the engine needs to build and test, when missing.
# Debian packages, through apt-get; needs root (or sudo).
set -euo pipefail
packages=(cmake make g++ libboost-dev libgtest-dev libgmock-dev libbenchmark-dev clang
          libclang-rt-dev procps util-linux libsqlite3-dev liblmdb-dev graphviz)
# SQLite and LMDB: the peers of the comparison benchmark; graphviz: orvshow's
# pictures and their tests.
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# ipcs and ipcrm come with util-linux; the test run checks that no set is left.
if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi
echo "Installing: ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then
    apt_get=(apt-get)
else
    apt_get=(sudo apt-get)
fi
export DEBIAN_FRONTEND=noninteractive
"${apt_get[@]}" update -q
"${apt_get[@]}" install -y -q "${missing[@]}"
