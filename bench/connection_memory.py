#!/usr/bin/env python3
"""Resident memory of the server across many sequential connections (connect, greeting,
close). Every connection keeps its record for the whole run, so this bounds what a record
costs.

    bench/connection_memory.py --binary build-rel/drennik [--connections 100000]
"""
import argparse
import os
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "pylib"))

from drennik import Client, Failure, Server  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", default="build-rel/drennik")
    parser.add_argument("--connections", type=int, default=100_000)
    parser.add_argument("--limit-mib", type=float, default=150.0)
    parser.add_argument("--sessions", action="store_true",
                        help="log in (USER, PASS), STAT and QUIT on each connection, so every "
                             "record holds a user and totals")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as root, \
            Server(root, binary=os.path.abspath(args.binary)) as server:
        start = server.rss_kib()
        began = time.monotonic()
        for i in range(args.connections):
            try:
                c = Client(server.port)  # reads and checks the greeting
                if args.sessions:
                    c.login("user%d" % (i % 1000))
                    c.expect(b"STAT", b"+OK 0 0\r\n")
                    c.expect(b"QUIT", b"+OK \r\n")
                c.close()
            except (Failure, OSError) as e:
                raise SystemExit(f"connection {i}: {e}")
        elapsed = time.monotonic() - began
        server.idle_fds(timeout=60)  # every close handled: the records are all there is
        end = server.rss_kib()
        server.stop()
    growth = (end - start) / 1024
    print(f"connections: {args.connections} in {elapsed:.1f} s ({args.connections / elapsed:.0f}/s)")
    print(f"resident memory: {start / 1024:.1f} MiB at start, {end / 1024:.1f} MiB after, "
          f"growth {growth:.1f} MiB (limit {args.limit_mib:.0f} MiB)")
    print("PASS" if growth < args.limit_mib else "FAIL")
    return 0 if growth < args.limit_mib else 1


if __name__ == "__main__":
    sys.exit(main())
