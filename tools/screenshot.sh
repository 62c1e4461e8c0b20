#!/usr/bin/env bash
# Runs Drennik under Xvfb with a small window manager, connects one client so a slot shows,
# and saves a screenshot of the screen (both windows) to the given file.
#   tools/screenshot.sh [OUT.png]
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-drennik-screenshot.png}
need=()
for p in xvfb openbox imagemagick x11-utils; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
    apt-get -o DPkg::Lock::Timeout=600 install -y -q --no-install-recommends "${need[@]}"
fi
[ -x build/drennik ] || { cmake -S . -B build >/dev/null && cmake --build build -j"$(nproc)" --target drennik; }

work=$(mktemp -d)
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$work"; }
trap cleanup EXIT

display=:$((90 + RANDOM % 9))
Xvfb "$display" -screen 0 1100x560x24 -nolisten tcp &
pids+=($!)
for _ in $(seq 50); do xdpyinfo -display "$display" >/dev/null 2>&1 && break; sleep 0.1; done
DISPLAY=$display openbox >/dev/null 2>&1 &
pids+=($!)

mkdir -p "$work/root/bob"
printf 'Subject: one\r\n\r\nfirst\r\n' > "$work/root/bob/0001"
printf 'Subject: two\r\n\r\nsecond message\r\n' > "$work/root/bob/0002"
stay=()
[ "$(id -u)" -ne 0 ] || stay=(--user root)  # the root made here belongs to root
DISPLAY=$display build/drennik --port 0 --root "$work/root" "${stay[@]}" > "$work/out" 2>&1 &
pids+=($!)
for _ in $(seq 100); do grep -q "listening on port" "$work/out" && break; sleep 0.1; done
port=$(sed -n 's/listening on port //p' "$work/out")
python3 - "$port" <<'PY'
import socket, sys, time
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
s.settimeout(10)
s.recv(100)
s.sendall(b"USER bob\r\nPASS bob\r\nLIST\r\nDELE 2\r\n")
data = b""
while data.count(b"\r\n") < 7:
    data += s.recv(4096)
time.sleep(1)
PY
# Both windows mapped, then a moment for them to paint.
for _ in $(seq 100); do
    [ "$(DISPLAY=$display xwininfo -root -tree | grep -cE '"(Drennik|Falquor Dialog)"')" -ge 2 ] && break
    sleep 0.1
done
sleep 1
import -display "$display" -window root "$out"
echo "saved $out"
