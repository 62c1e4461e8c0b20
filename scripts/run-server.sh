#!/usr/bin/env bash
# Installs what is missing, builds Drennik and runs it on its defaults (port 110, maildrop
# root "/Post Office/"). Extra arguments go to the server, e.g. --port 1110 --root ~/mail.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target drennik
if [ $# -eq 0 ]; then
    mkdir -p "/Post Office"
fi
exec build/drennik "$@"
