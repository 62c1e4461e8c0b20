#!/usr/bin/env python3
"""Resident memory of the server across many sequential connections (connect, greeting,
close). Every connection keeps its record for the whole run, so this bounds what a record
costs.

    bench/connection_memory.py --binary build-rel/drennik [--connections 100000]
"""
import argparse
import os
import socket
import subprocess
import sys
import tempfile
import time


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", default="build-rel/drennik")
    parser.add_argument("--connections", type=int, default=100_000)
    parser.add_argument("--limit-mib", type=float, default=150.0)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as root:
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
        server = subprocess.Popen([args.binary, "--port", "0", "--root", root],
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env)
        try:
            port = int(server.stdout.readline().split()[-1])
            start = rss_kib(server.pid)
            began = time.monotonic()
            for i in range(args.connections):
                with socket.create_connection(("127.0.0.1", port), timeout=30) as c:
                    greeting = b""
                    while not greeting.endswith(b"\r\n"):
                        chunk = c.recv(64)
                        if not chunk:
                            raise SystemExit(f"connection {i}: closed before the greeting")
                        greeting += chunk
                    if greeting != b"+OK Drennik here\r\n":
                        raise SystemExit(f"connection {i}: greeting {greeting!r}")
            elapsed = time.monotonic() - began
            time.sleep(0.5)
            end = rss_kib(server.pid)
        finally:
            server.terminate()
            server.wait(timeout=30)
    growth = (end - start) / 1024
    print(f"connections: {args.connections} in {elapsed:.1f} s ({args.connections / elapsed:.0f}/s)")
    print(f"resident memory: {start / 1024:.1f} MiB at start, {end / 1024:.1f} MiB after, "
          f"growth {growth:.1f} MiB (limit {args.limit_mib:.0f} MiB)")
    print("PASS" if growth < args.limit_mib else "FAIL")
    return 0 if growth < args.limit_mib else 1


if __name__ == "__main__":
    sys.exit(main())
