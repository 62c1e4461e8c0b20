"""Real POP3 clients against the server: curl and Python's poplib."""

import functools
import os
import poplib
import random
import subprocess
import unittest

from server_case import ServerTestCase
from drennik import HOST, make_user, message_lines, sent_size, unstuffed

CURL = "/usr/bin/curl"
BIG_SIZE = 50 * 1024 * 1024


@functools.lru_cache(maxsize=1)
def big_message():
    """About 50 MB mixing every kind of line end, lines that start with a
    dot, NUL and 0xFF bytes, a 3 MB line, and no line end at the very end."""
    rnd = random.Random(2024)
    alphabet = b"abcdefghij KLMNOP.\r\n\x00\xff"
    weights = [5] * 10 + [8] + [3] * 6 + [4, 2, 2, 1, 1]
    block = bytes(rnd.choices(alphabet, weights, k=(1 << 20) + 13))
    out = bytearray()
    shift = 0
    while len(out) < BIG_SIZE - (4 << 20):
        out += block[shift:] + block[:shift]
        shift = (shift + 7919) % len(block)
    out += b"\r\n." + b"L" * (3 << 20) + b"\n..\r\n.\r\n"
    out += block[:max(0, BIG_SIZE - len(out) - 6)] + b"\r\n.end"
    return bytes(out)


def curl(*args, timeout=120):
    env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
    return subprocess.run([CURL, "-s", "--max-time", "90"] + list(args),
                          stdin=subprocess.DEVNULL, capture_output=True,
                          timeout=timeout, env=env)


@unittest.skipUnless(os.access(CURL, os.X_OK), "curl not installed")
class Curl(ServerTestCase):

    @classmethod
    def prepare_class_root(cls):
        cls.msgs = [b"Subject: one\r\n\r\nfirst\r\n", b".dot\nline\r\n..\r.",
                    b"", b"no line end"]
        make_user(cls.root, "cu", {"m%d" % i: m for i, m in enumerate(cls.msgs)})
        cls.big = big_message()
        make_user(cls.root, "bigc", {"big": cls.big})

    def url(self, user, path=""):
        return "pop3://%s:%s@%s:%d/%s" % (user, user, HOST, self.server.port, path)

    def test_curl_lists_and_retrieves(self):
        r = curl(self.url("cu"))
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout, b"".join(b"%d %d\r\n" % (i, sent_size(m))
                                            for i, m in enumerate(self.msgs, 1)))
        for i, m in enumerate(self.msgs, 1):
            with self.subTest(message=i):
                r = curl(self.url("cu", str(i)))
                self.assertEqual(r.returncode, 0, r.stderr)
                # For an empty message curl prints the CR LF that ends the
                # "+OK " line: the server sends just "+OK \r\n.\r\n" there,
                # which the raw-socket tests check.
                self.assertEqual(r.stdout, unstuffed(m) if m else b"\r\n")

    def test_curl_errors(self):
        r = curl(self.url("cu", "9"))
        self.assertNotEqual(r.returncode, 0, "RETR 9 of 4 messages succeeded")
        r = curl("pop3://cu:wrong@%s:%d/" % (HOST, self.server.port))
        self.assertNotEqual(r.returncode, 0, "wrong password accepted")

    def test_curl_dele(self):
        make_user(self.root, "cudel", {"a": b"1\r\n", "b": b"22\r\n", "c": b"333\r\n"})
        r = curl(self.url("cudel"), "-X", "DELE 1", "-I")
        self.assertEqual(r.returncode, 0, r.stderr)
        folder = os.path.join(self.root, "cudel")
        self.assertEqual(sorted(os.listdir(folder)), ["b", "c"])
        r = curl(self.url("cudel"))
        self.assertEqual(r.stdout, b"1 4\r\n2 5\r\n")

    def test_curl_retrieves_50_mb(self):
        r = curl(self.url("bigc", "1"))
        self.assertEqual(r.returncode, 0, r.stderr)
        expected = unstuffed(self.big)
        self.assertEqual(len(r.stdout), len(expected))
        self.assertTrue(r.stdout == expected, "50 MB message differs")


class Poplib(ServerTestCase):

    @classmethod
    def prepare_class_root(cls):
        cls.msgs = [b"From: a\r\nTo: b\r\n\r\nHi\r\n.\r\nBye\r\n", b"x" * 2000 + b"\n",
                    b"\r\r\n\n", b"...", b"From: c\nTo: d\n\nA 51-byte message, lines end in LF.\n"]
        make_user(cls.root, "py", {"%d" % i: m for i, m in enumerate(cls.msgs)})
        cls.big = big_message()
        make_user(cls.root, "bigp", {"big": cls.big})

    def pop(self):
        p = poplib.POP3(HOST, self.server.port, timeout=60)
        self.addCleanup(p.close)
        return p

    def test_poplib_session(self):
        p = self.pop()
        self.assertEqual(p.getwelcome(), b"+OK Drennik here")
        self.assertEqual(p.user("py"), b"+OK")
        self.assertEqual(p.pass_("py"), b"+OK")
        # Sizes are the octets RETR sends, as poplib counts them (without the stuffing): LF
        # files grow by their line ends.
        sizes = []
        for i, m in enumerate(self.msgs, 1):
            with self.subTest(message=i):
                resp, lines, octets = p.retr(i)
                self.assertEqual(resp, b"+OK ")
                self.assertEqual(lines, message_lines(m))
                sizes.append(octets)
        self.assertEqual(sizes[1:5:3], [2002, 55])
        self.assertEqual(p.stat(), (len(sizes), sum(sizes)))
        resp, listing, _ = p.list()
        self.assertEqual(resp, b"+OK 5 Messages")
        self.assertEqual(listing, [b"%d %d" % (i, s) for i, s in enumerate(sizes, 1)])
        self.assertEqual(p.list(2), b"+OK 2 %d" % sizes[1])
        self.assertEqual(p.noop(), b"+OK")
        resp, lines, _ = p.top(1, 0)
        self.assertEqual(resp, b"+OK ")
        self.assertEqual(lines, message_lines(self.msgs[0].split(b"\r\n\r\n")[0] + b"\r\n\r\n"))
        with self.assertRaises(poplib.error_proto):
            p.retr(6)
        self.assertEqual(p.dele(4), b"+OK")
        self.assertEqual(p.quit(), b"+OK ")
        self.assertEqual(sorted(os.listdir(os.path.join(self.root, "py"))), ["0", "1", "2", "4"])

    def test_poplib_wrong_password(self):
        p = self.pop()
        p.user("py")
        with self.assertRaises(poplib.error_proto):
            p.pass_("PY")

    def test_poplib_retrieves_50_mb(self):
        saved = poplib._MAXLINE
        poplib._MAXLINE = 8 << 20
        try:
            p = self.pop()
            p.user("bigp")
            p.pass_("bigp")
            stat = p.stat()
            resp, lines, octets = p.retr(1)
            p.quit()
        finally:
            poplib._MAXLINE = saved
        self.assertEqual(resp, b"+OK ")
        self.assertEqual(stat, (1, octets))
        got = b"\r\n".join(lines) + b"\r\n"
        expected = unstuffed(self.big)
        self.assertEqual(len(got), len(expected))
        self.assertTrue(got == expected, "50 MB message differs")


if __name__ == "__main__":
    unittest.main()
