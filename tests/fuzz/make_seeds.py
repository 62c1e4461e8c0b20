#!/usr/bin/env python3
"""Writes the seed inputs that reach the fuzz target's deeper paths into corpus/.

An input is 8 seed bytes, then the clients' bytes with 0xFF control sequences (see the head of
conversation_fuzz.cpp). Run from anywhere: python3 tests/fuzz/make_seeds.py
"""
import os

MASK = 2**64 - 1


def seed_of(head):
    seed = 0x9E3779B97F4A7C15
    for b in head:
        seed = (seed * 131 + b) & MASK
    return seed


def header(tiny0=False, tiny1=False, big=False):
    """8 seed bytes that give each client tiny socket buffers or not, and put the big messages
    (04, 05, 06) in the maildrop or not."""
    for i in range(1 << 16):
        head = bytes([i & 255, i >> 8]) + b"seedhd"
        seed = seed_of(head)
        if (
            ((seed >> 20) & 7 == 0) == tiny0
            and ((seed >> 21) & 7 == 0) == tiny1
            and ((seed >> 24) & 3 == 0) == big
        ):
            return head
    raise RuntimeError("no header found")


FF = b"\xff"
OTHER, PAUSE, FLUSH, END = FF + b"c", FF + b"p", FF + b"s", FF + b"x"


def run(byte, n):  # n from 1 to 65536
    n -= 1
    return FF + b"r" + bytes([byte, n >> 8, n & 255])


def long_run(byte, n):  # a multiple of 4 up to 256 KiB
    k = n // 4 - 1
    return FF + b"L" + bytes([byte, k >> 8, k & 255])


def at_limit(byte, delta):  # 65536 + delta bytes, delta from -128 to 127
    return FF + b"R" + bytes([byte, delta + 128])


# Maildrop changes: kinds as in Mutate; names 0-9 are 01..09 and .h.
APPEND, WRITE, WRITE_PRISTINE, RENAME, LINK, DELETE, ODD, RESTORE = range(8)


def change(kind, name, choice):
    return FF + b"m" + bytes([(name << 3) | kind, choice])


LOGIN = b"USER u\r\nPASS u\r\n"

SEEDS = {
    # "USER " and 65531 bytes: a line of exactly 65536 bytes is served; one more is not.
    "line-at-limit": header() + LOGIN + b"USER " + at_limit(ord("a"), -5) + b"\r\nSTAT\r\nQUIT\r\n",
    "line-over-limit": header() + LOGIN + b"STAT\r\nUSER " + at_limit(ord("a"), -4) + b"\r\nSTAT\r\n",
    "unfinished-line-over-limit": header() + b"USER " + long_run(ord("x"), 70000) + FLUSH + b"\r",
    "retr-long-lines-and-block-edges": header(big=True)
    + LOGIN
    + b"LIST\r\nRETR 4\r\nRETR 5\r\nRETR 6\r\nRETR 7\r\nRETR 2\r\nRETR 3\r\nSTAT\r\nQUIT\r\n",
    "backpressure-tiny-buffers": header(True, True, big=True)
    + LOGIN
    + PAUSE
    + b"RETR 6\r\nRETR 4\r\nLIST\r\nSTAT\r\n"
    + FLUSH
    + b"RETR 5\r\nLIST 2\r\n"
    + PAUSE
    + b"QUIT\r\n",
    "two-connections-interleaved": header(False, True, big=True)
    + LOGIN
    + OTHER
    + LOGIN
    + b"DELE 1\r\nRETR 6\r\n"
    + OTHER
    + b"RETR 1\r\n"
    + OTHER
    + b"QUIT\r\n"
    + OTHER
    + b"RETR 1\r\nLIST\r\n"
    + LOGIN
    + b"LIST\r\nSTAT\r\n",
    "maildrop-changes": header(big=True)
    + LOGIN
    + change(WRITE, 0, 1)
    + b"RETR 1\r\n"
    + change(DELETE, 1, 0)
    + b"RETR 2\r\n"
    + change(APPEND, 2, 3)
    + b"RETR 3\r\nLIST 3\r\n"
    + change(ODD, 3, 0)
    + b"RETR 4\r\n"
    + change(RENAME, 6, 8)
    + b"RETR 7\r\n"
    + change(LINK, 0, 8)
    + b"DELE 1\r\nDELE 3\r\nDELE 5\r\n"
    + change(APPEND, 4, 0)
    + b"QUIT\r\n"
    + LOGIN
    + b"LIST\r\nRETR 7\r\n"
    + change(RESTORE, 0, 0)
    + change(WRITE_PRISTINE, 8, 5)
    + LOGIN
    + b"LIST\r\nRETR 8\r\n",
    "changes-during-a-stream": header(True, False, big=True)
    + LOGIN
    + PAUSE
    + b"RETR 6\r\nRETR 6\r\n"
    + FLUSH
    + change(APPEND, 5, 3)
    + change(DELETE, 5, 0)
    + change(WRITE_PRISTINE, 5, 1)
    + PAUSE
    + b"RETR 6\r\nDELE 6\r\nQUIT\r\n",
    "links-out-of-root": header()
    + b"USER link\r\nPASS link\r\nSTAT\r\nLIST\r\nRETR 1\r\nQUIT\r\n"
    + LOGIN
    + change(ODD, 0, 0)
    + change(ODD, 1, 1)
    + b"RETR 1\r\nRETR 2\r\nDELE 1\r\nQUIT\r\n"
    + change(RENAME, 7, 2)
    + LOGIN
    + b"LIST\r\nRETR 3\r\n",
    "numbers-and-names": header()
    + b"USER .u\r\nPASS .u\r\nUSER u/\r\nPASS u/\r\nUSER \tu\r\nPASS \tu\r\nUSER "
    + run(ord("u"), 256)
    + b"\r\nPASS "
    + run(ord("u"), 255)
    + b"\r\n"
    + LOGIN
    + b"LIST 1.5\r\nLIST 2.5\r\nLIST .5\r\nLIST -0\r\nLIST 0.51\r\nLIST 1 . 5\r\n"
    + b"LIST 9223372036854775809\r\nLIST 18446744073709551617\r\nLIST "
    + run(ord("0"), 3000)
    + b"2\r\nUIDL 4.4999999999999999999999\r\nUIDL\r\nTOP 1 0\r\nTOP 2.5 1.5\r\n"
    + b"TOP 1 -0\r\nTOP 1 .5\r\nTOP 1 18446744073709551616\r\nTOP 1 x\r\nTOP 1\r\n"
    + b"DELE 0.5\r\nDELE 4.5\r\nDELE 0.3\r\nDELE +3\r\nQUIT\r\n",
    "client-ends-early": header(big=True)
    + LOGIN
    + b"RETR 6\r\nSTAT"
    + END
    + OTHER
    + LOGIN
    + b"RETR 4\r\n"
    + run(ord("."), 300)
    + b"\r\nQUIT\r\n",
}

if __name__ == "__main__":
    corpus = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
    for name, data in SEEDS.items():
        with open(os.path.join(corpus, name), "wb") as f:
            f.write(data)
