#!/usr/bin/env bash
# Installs what is missing, builds Drennik and runs it on its defaults (port 110, maildrop
# root "/Post Office/"). Extra arguments go to the server, e.g. --port 1110 --root ~/mail.
# Port 110 needs root: run without arguments by another user, the script runs itself through
# sudo. Started as root, the server runs as the owner of the maildrop root once the port is
# bound, so a root created here never belongs to root: through sudo it belongs to the user who
# called sudo; run by root itself (a container, a fresh machine) to the unprivileged nobody.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ $# -eq 0 ] && [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null; then
        echo "run-server.sh: port 110 needs root and sudo is not installed: run this as root," \
            "or unprivileged with arguments, e.g. --port 1110 --root ~/mail" >&2
        exit 1
    fi
    exec sudo -- "$0"
fi
scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target drennik
root="/Post Office"
if [ $# -eq 0 ] && [ ! -e "$root" ]; then
    mkdir "$root"
    if [ -n "${SUDO_USER:-}" ] && [ "$SUDO_USER" != root ]; then
        chown "$SUDO_USER:" "$root"
    else
        chown nobody:nogroup "$root"
        echo "run-server.sh: made \"$root\" for the unprivileged user nobody (group" \
            "nogroup), whom the server runs as once port 110 is bound; make each maildrop" \
            "readable and writable by nobody, e.g." \
            "install -d -o nobody -g nogroup \"$root/alice\"" >&2
    fi
fi
exec build/drennik "$@"
