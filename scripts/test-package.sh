#!/usr/bin/env bash
# Installs the Debian package into a fresh Debian 12 root and runs it there: apt resolves its
# Depends, `drennik --version` prints the package's version, `--help` works, and the server,
# headless on a free loopback port, serves a message that is fetched byte-exact and deleted;
# then the package purges cleanly.
# Needs root (mmdebstrap, chroot) and the Debian archive. Builds the package first when
# build-package/ has none. Everything is bounded; the root and its processes are removed.
set -euo pipefail
cd "$(dirname "$0")/.."
[ "$(id -u)" -eq 0 ] || { echo "test-package.sh: run as root" >&2; exit 2; }
scripts/install-deps.sh

version=$(sed -n 's/^project(Drennik VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
deb=build-package/drennik_${version}_amd64.deb
[ -f "$deb" ] || scripts/package.sh
start=$SECONDS

root=$(mktemp -d /tmp/drennik-package-root.XXXXXX)
cleanup() {
    # Nothing is mounted in $root itself: /proc is mounted in a private mount namespace only.
    if ! findmnt -rn -o TARGET | grep -q "^$root"; then
        rm -rf --one-file-system "$root"
    else
        echo "test-package.sh: something is mounted under $root; left in place" >&2
    fi
}
trap cleanup EXIT

echo "== a fresh Debian 12 root, with the package installed by apt =="
timeout 480 mmdebstrap --quiet --variant=apt --include=python3 \
    --customize-hook="copy-in $deb /tmp" \
    --customize-hook="chroot \"\$1\" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q /tmp/$(basename "$deb")" \
    --customize-hook="chroot \"\$1\" rm /tmp/$(basename "$deb")" \
    bookworm "$root"
echo "(root made and package installed in $((SECONDS - start)) s)"

cat >"$root/tmp/inside.sh" <<'INSIDE'
#!/bin/bash
set -euo pipefail
version=$1
export QT_QPA_PLATFORM=offscreen
test "$(drennik --version)" = "drennik $version"
drennik --help | grep -q -- '--root DIR'
getent passwd drennik >/dev/null
test "$(stat -c %U /var/mail/drennik)" = drennik

mail=$(mktemp -d)
mkdir "$mail/alice"
printf 'Subject: packaged\r\n\r\nHello from the package.\r\n.starts with a dot\r\n' >"$mail/alice/0001"
chown -R drennik:drennik "$mail"
# Started as root, the server binds and then runs as the maildrop root's owner, drennik.
drennik --port 0 --root "$mail" >/tmp/server.out 2>/tmp/server.err &
server=$!
port=""
for _ in $(seq 1 100); do
    port=$(sed -n 's/^listening on port \([0-9]*\)$/\1/p' /tmp/server.out)
    [ -n "$port" ] && break
    kill -0 "$server" 2>/dev/null || break
    sleep 0.1
done
if [ -z "$port" ]; then
    cat /tmp/server.out /tmp/server.err
    kill "$server" 2>/dev/null || true
    exit 1
fi
python3 - "$port" "$mail/alice/0001" <<'PY'
import poplib, sys
port, path = int(sys.argv[1]), sys.argv[2]
want = open(path, "rb").read()
pop = poplib.POP3("127.0.0.1", port, timeout=10)
pop.user("alice")
pop.pass_("alice")
count, size = pop.stat()
assert (count, size) == (1, len(want)), (count, size)
_, lines, _ = pop.retr(1)
got = b"\r\n".join(lines) + b"\r\n"
assert got == want, (got, want)
pop.dele(1)
pop.quit()
print("fetched %d bytes byte-exact and deleted" % len(got))
PY
test ! -e "$mail/alice/0001"
test "$(stat -c %U /proc/$server)" = drennik
kill -TERM "$server"
status=0
wait "$server" || status=$?
test "$status" -eq 0 || { echo "exit status $status after SIGTERM"; cat /tmp/server.err; exit 1; }
echo "server stopped by SIGTERM with status 0"
DEBIAN_FRONTEND=noninteractive apt-get purge -y -q drennik >/dev/null
test ! -e /usr/bin/drennik
echo "purged"
INSIDE
chmod +x "$root/tmp/inside.sh"

echo "== the installed program =="
# A private mount and PID namespace: /proc is mounted there alone, and every process left in
# it ends when the namespace's first process does.
timeout 120 unshare --mount --pid --fork --mount-proc="$root/proc" \
    chroot "$root" /tmp/inside.sh "$version"
echo "package test OK in $((SECONDS - start)) s"
