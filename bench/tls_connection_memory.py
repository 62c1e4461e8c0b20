#!/usr/bin/env python3
"""Resident memory per idle connection, plain and TLS: N connections are opened and held
(the TLS ones past the handshake and the greeting; with --retr each first fetches a message,
so buffers a transfer needed must have been given back), and the server's growth divided by N.

    bench/tls_connection_memory.py --binary build-tls/drennik [--connections 1000] [--retr]
"""
import argparse
import os
import resource
import socket
import ssl
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "pylib"))

from drennik import HOST, Server, make_user, probes, wait_until  # noqa: E402


def read_until(sock, marker, buf):
    while marker not in buf:
        chunk = sock.recv(65536)
        if not chunk:
            raise SystemExit("connection closed")
        buf += chunk
    end = buf.index(marker) + len(marker)
    return buf[end:]


def hold(server, port, context, count, retr):
    held = []
    for _ in range(count):
        sock = socket.create_connection((HOST, port), timeout=30)
        if context is not None:
            sock = context.wrap_socket(sock, server_hostname=HOST)
        buf = read_until(sock, b"\r\n", b"")
        if retr:
            sock.sendall(b"USER m\r\nPASS m\r\nRETR 1\r\n")
            buf = read_until(sock, b"\r\n.\r\n", buf)
        held.append(sock)
    return held


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", default="build-tls/drennik")
    parser.add_argument("--connections", type=int, default=1000)
    parser.add_argument("--retr", action="store_true",
                        help="fetch a 256 KiB message on each connection before it idles")
    args = parser.parse_args()
    _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))

    with tempfile.TemporaryDirectory() as base:
        root = os.path.join(base, "root")
        os.mkdir(root)
        make_user(root, "m", {"1": (b"x" * 78 + b"\r\n") * (256 * 1024 // 80)})
        cert, key = os.path.join(base, "cert.pem"), os.path.join(base, "key.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                        "ec_paramgen_curve:P-256", "-nodes", "-keyout", key, "-out", cert,
                        "-days", "2", "-subj", "/CN=localhost",
                        "-addext", "subjectAltName=IP:127.0.0.1"], check=True,
                       capture_output=True)
        context = ssl.create_default_context(cafile=cert)
        with Server(root, binary=os.path.abspath(args.binary),
                    args=["--tls-cert", cert, "--tls-key", key, "--pop3s-port", "0",
                          "--max-per-address", "0", "--max-connections", "0"]) as server:
            for name, port, ctx in (("plain", server.port, None),
                                    ("TLS", server.tls_port, context)):
                # A few first, so that one-time allocations are not counted per connection.
                warm = hold(server, port, ctx, 20, args.retr)
                before = server.rss_kib()
                held = hold(server, port, ctx, args.connections, args.retr)
                after = server.rss_kib()
                per = (after - before) * 1024 / args.connections
                print(f"{name}: {args.connections} idle connections"
                      f"{' after a 256 KiB RETR' if args.retr else ''}: "
                      f"{(after - before) / 1024:.1f} MiB, {per / 1024:.1f} KiB each")
                for sock in warm + held:
                    sock.close()
                wait_until(lambda: sum(t.startswith("socket:")
                                       for t in probes.fd_targets(server.pid)) == 2,
                           60, "all connections closed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
