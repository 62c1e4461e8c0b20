#!/usr/bin/env bash
# Installs what is missing, builds Drennik and runs it on its defaults (port 110, maildrop
# root "/Post Office/"). Extra arguments go to the server, e.g. --port 1110 --root ~/mail.
# Started as root (port 110 needs it), the server runs as the owner of the maildrop root once
# the port is bound, so a root created here belongs to whoever ran the script, through sudo or not.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target drennik
if [ $# -eq 0 ] && [ ! -e "/Post Office" ]; then
    mkdir "/Post Office"
    chown "${SUDO_USER:-$(id -un)}:" "/Post Office"
fi
exec build/drennik "$@"
