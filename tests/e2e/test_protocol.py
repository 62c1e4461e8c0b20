"""POP3 conversation checked byte for byte over raw loopback sockets."""

import os
import unittest

from server_case import ServerTestCase
from drennik import (GREETING, LOGIN_FAILED, list_reply, make_user, retr_reply, sent_size,
                     sizes_of, stat_reply)

NO_SUCH = b"-ERR no such message\r\n"


class GreetingAndAuthorization(ServerTestCase):

    def test_greeting_comes_first_and_alone(self):
        c = self.connect(greet=False)
        # Nothing has been sent yet: the greeting must arrive on its own.
        self.assertEqual(c.read_exact(len(GREETING)), GREETING)
        c.sync()

    def test_commands_before_a_successful_pass(self):
        self.new_user({"m": b"x\r\n"})
        c = self.connect()
        cases = [
            (b"STAT", False, b"+OK  \r\n"),
            (b"LIST", True, b"+OK  Messages\r\n.\r\n"),
            (b"LIST 1", False, NO_SUCH),
            (b"RETR 1", True, NO_SUCH),
            (b"DELE 1", False, NO_SUCH),
            (b"PASS", False, LOGIN_FAILED),          # no USER yet: empty name
            (b"PASS x", False, LOGIN_FAILED),
            (b"USER", False, b"+OK\r\n"),
            (b"PASS", False, LOGIN_FAILED),          # empty name is refused
            (b"QUIT", False, b"+OK \r\n"),
        ]
        self.assert_replies(c, cases)

    def test_password_must_equal_user_name_exactly(self):
        make_user(self.root, "Kim", {"1": b"hello\r\n", "2": b"abc"})
        make_user(self.root, "kim", {"1": b"other"})
        c = self.connect()
        self.assertEqual(c.request(b"USER Kim"), b"+OK\r\n")
        self.assertEqual(c.request(b"PASS kim"), LOGIN_FAILED)
        self.assertEqual(c.request(b"PASS Kim2"), LOGIN_FAILED)
        self.assertEqual(c.request(b"PASS Ki"), LOGIN_FAILED)
        self.assertEqual(c.request(b"STAT"), b"+OK  \r\n")
        # Spaces around the argument do not count.
        self.assertEqual(c.request(b"PASS    Kim   "), b"+OK\r\n")
        self.assertEqual(c.request(b"STAT"), stat_reply(sizes_of([b"hello\r\n", b"abc"])))
        c.sync()

        c2 = self.connect()
        self.assertEqual(c2.request(b"USER   kim  "), b"+OK\r\n")
        self.assertEqual(c2.request(b"PASS kim"), b"+OK\r\n")
        self.assertEqual(c2.request(b"STAT"), stat_reply(sizes_of([b"other"])))
        c2.sync()


class MaildropListing(ServerTestCase):

    def test_stat_list_and_list_n(self):
        contents = [b"", b"x", b"12345", b"y" * 1000, b"z\r\n" * 23333 + b"q"]
        sizes = sizes_of(contents)
        user = self.new_user({"%02d" % i: data for i, data in enumerate(contents)})
        c = self.connect()
        c.login(user)
        self.assertEqual(c.request(b"STAT"), stat_reply(sizes))
        self.assertEqual(c.request(b"LIST", multi=True), list_reply(sizes))
        for i, size in enumerate(sizes, 1):
            self.assertEqual(c.request(b"LIST %d" % i), b"+OK %d %d\r\n" % (i, size))
        for n in (b"0", b"6", b"100", b"-1", b"99999999999999999999999"):
            with self.subTest(n=n):
                self.assertEqual(c.request(b"LIST " + n), NO_SUCH)
        # A trailing blank is trimmed away: this is a plain LIST.
        self.assertEqual(c.request(b"LIST   ", multi=True), list_reply(sizes))
        c.sync()

    def test_empty_maildrop(self):
        user = self.new_user({})
        c = self.connect()
        c.login(user)
        self.assertEqual(c.request(b"STAT"), b"+OK 0 0\r\n")
        self.assertEqual(c.request(b"LIST", multi=True), b"+OK 0 Messages\r\n.\r\n")
        self.assertEqual(c.request(b"LIST 1"), NO_SUCH)
        self.assertEqual(c.request(b"RETR 1", multi=True), NO_SUCH)
        self.assertEqual(c.request(b"DELE 1"), NO_SUCH)
        self.assertEqual(c.request(b"QUIT"), b"+OK \r\n")
        c.sync()


class CommandParsing(ServerTestCase):

    def test_command_word_and_argument_positions(self):
        msgs = {"1": b"first\r\n", "2": b"second\r\n", "3": b"third\r\n"}
        make_user(self.root, "ob", msgs)
        sizes = [7, 8, 7]
        stat = stat_reply(sizes)
        c = self.connect()
        cases = [
            (b"USERbob", False, b"+OK\r\n"),          # argument starts at byte six: "ob"
            (b"PASS ob", False, b"+OK\r\n"),
            (b"STATUS", False, stat),
            (b"stat", False, stat),
            (b"sTaT", False, stat),
            (b"   STAT   ", False, stat),
            (b"STAT extra words", False, stat),
            (b"LiSt", True, list_reply(sizes)),
            (b"RETRIEVE 1", True, NO_SUCH),            # argument "EVE 1" reads as 0
            (b"RETRX3", True, retr_reply(msgs["3"])),
            (b"retr 2", True, retr_reply(msgs["2"])),
            (b"RETR    2    ", True, retr_reply(msgs["2"])),
            (b"RETR1", True, NO_SUCH),                 # nothing from byte six on
            (b"RETR -9223372036854775808", True, NO_SUCH),   # no overflow at the limits
            (b"RETR 9999999999999999999", True, NO_SUCH),
            (b"DELE -9223372036854775809", True, NO_SUCH),
            (b"NOOP", False, b"+OK\r\n"),
            (b"noop", False, b"+OK\r\n"),
            (b"", False, b"-ERR  not supported\r\n"),
            (b"      ", False, b"-ERR  not supported\r\n"),
            (b"ab", False, b"-ERR AB not supported\r\n"),
            (b"TOPS", False, b"-ERR TOPS not supported\r\n"),
            (b"UIDX", False, b"-ERR UIDX not supported\r\n"),
            (b"STLS", False, b"-ERR STLS not supported\r\n"),   # no TLS configured
            (b"x y z", False, b"-ERR X Y not supported\r\n"),
            (b"capabilities", True, b"+OK\r\nTOP\r\nUSER\r\nSASL PLAIN LOGIN\r\nUIDL\r\n"
             b"PIPELINING\r\nRESP-CODES\r\nAUTH-RESP-CODE\r\nIMPLEMENTATION Drennik\r\n.\r\n"),
            (b"APOP ob 0123", False, b"-ERR APOP not supported\r\n"),
            (b"QUITTING NOW", False, b"+OK \r\n"),
        ]
        self.assert_replies(c, cases)

    def test_command_word_is_four_bytes_upper_cased_as_ascii(self):
        c = self.connect()
        cases = [
            (b"\xc3\xa4ab", b"-ERR \xc3\xa4AB not supported\r\n"),
            (b"abc\xc3\xa4", b"-ERR ABC\xc3 not supported\r\n"),
            (b"\xff\xfeqq", b"-ERR \xff\xfeQQ not supported\r\n"),
            (b"\x00abc", b"-ERR \x00ABC not supported\r\n"),
            (b"{|}~", b"-ERR {|}~ not supported\r\n"),
        ]
        for line, expected in cases:
            with self.subTest(line=line):
                self.assertEqual(c.request(line), expected)
        # Only blanks are trimmed from the line: a leading tab makes the
        # command word "\tSTA", which no command matches.
        got = c.request(b"\tSTAT")
        self.assertTrue(got.startswith(b"-ERR ") and got.endswith(b"not supported\r\n"), got)
        c.sync()


class MessageNumbers(ServerTestCase):

    @classmethod
    def prepare_class_root(cls):
        cls.msgs = [b"message number %d\r\n" % i for i in range(1, 13)]
        make_user(cls.root, "twelve", {"m%02d" % i: m for i, m in enumerate(cls.msgs, 1)})

    def test_retr_argument_numbers(self):
        cases = [
            (b"1", 1), (b"12", 12), (b"007", 7), (b"1 2", 12), (b"1  2", 12),
            (b"+3", 3), (b"+ 3", 3), (b"3abc", 3), (b"3 x", 3), (b"4-", 4),
            (b"1.5", 2), (b"2.5", 2), (b"3.5", 4), (b"2.4", 2), (b"2.6", 3),
            (b"2.50", 2), (b"2.51", 3), (b"2 . 6", 3), (b"1 1.5", 12),
            (b"0.6", 1), (b"12.5", 12), (b"+2.5", 2),
            (b"0", None), (b"0.5", None), (b"12.51", None), (b"13", None),
            (b"-1", None), (b"- 1", None), (b"-0", None), (b"abc", None),
            (b"x1", None), (b"", None), (b"99999999999999999999999999", None),
            (b"-99999999999999999999999999", None),
        ]
        c = self.connect()
        c.login("twelve")
        for arg, index in cases:
            expected = NO_SUCH if index is None else retr_reply(self.msgs[index - 1])
            with self.subTest(arg=arg):
                self.assertEqual(c.request(b"RETR " + arg, multi=True), expected)
        c.sync()


class DeleteNumbers(ServerTestCase):
    """DELE reads its number like RETR but subtracts one before rounding,
    so the halves round differently; QUIT shows which file was marked."""

    def test_dele_argument_numbers(self):
        names = ["a", "b", "c", "d"]
        cases = [
            (b"1", "a"), (b"4", "d"), (b"1.5", "a"), (b"2.5", "c"),
            (b"3.5", "c"), (b"0.5", "a"), (b"4.4", "d"), (b"+ 2", "b"),
            (b"2abc", "b"), (b" 2 ", "b"), (b"1.51", "b"),
            (b"0.4", None), (b"4.5", None), (b"1 2", None), (b"abc", None),
            (b"", None), (b"-1", None), (b"0", None), (b"5", None),
        ]
        for arg, victim in cases:
            with self.subTest(arg=arg):
                user = self.new_user({n: n.encode() * 3 + b"\r\n" for n in names}, prefix="del")
                c = self.connect()
                c.login(user)
                expected = b"+OK\r\n" if victim else NO_SUCH
                self.assertEqual(c.request(b"DELE " + arg), expected)
                self.assertEqual(c.request(b"QUIT"), b"+OK \r\n")
                c.sync()
                left = sorted(os.listdir(self.user_dir(user).decode()))
                self.assertEqual(left, [n for n in names if n != victim])
                c.close()


class RetrFormatting(ServerTestCase):

    CASES = [
        (b"", b""),
        (b"abc", b"abc\r\n"),
        (b"a\r\nb\r\n", b"a\r\nb\r\n"),
        (b"a\nb\n", b"a\r\nb\r\n"),
        (b"a\rb\r", b"a\r\nb\r\n"),
        (b"a\r\r\nb", b"a\r\n\r\nb\r\n"),
        (b"a\n\rb", b"a\r\n\r\nb\r\n"),
        (b"\n\n", b"\r\n\r\n"),
        (b"\r\r", b"\r\n\r\n"),
        (b"\n\r\n", b"\r\n\r\n"),
        (b"\r", b"\r\n"),
        (b"\r\n", b"\r\n"),
        (b"end\r", b"end\r\n"),
        (b".", b"..\r\n"),
        (b"..", b"...\r\n"),
        (b".\r\n..x\r\n x.\r\nx.y\r\n", b"..\r\n...x\r\n x.\r\nx.y\r\n"),
        (b"a\r\n.\r\nb", b"a\r\n..\r\nb\r\n"),
        (b"a\n.\rb\r.", b"a\r\n..\r\nb\r\n..\r\n"),
        (b"\r\n.", b"\r\n..\r\n"),
        (b"\x00\xff\x80z\r\n\x7f\x1b\t", b"\x00\xff\x80z\r\n\x7f\x1b\t\r\n"),
        (b"\r\n\r\n.\r\n", b"\r\n\r\n..\r\n"),
        (b"Subject: hi\r\n\r\nbody\r\n.\r\n", b"Subject: hi\r\n\r\nbody\r\n..\r\n"),
    ]

    def test_retr_line_ends_and_dot_stuffing(self):
        user = self.new_user({"c%02d" % i: data for i, (data, _) in enumerate(self.CASES)})
        c = self.connect()
        c.login(user)
        self.assertEqual(c.request(b"STAT"), stat_reply([sent_size(d) for d, _ in self.CASES]))
        for i, (data, body) in enumerate(self.CASES, 1):
            with self.subTest(content=data):
                self.assertEqual(c.request(b"RETR %d" % i, multi=True),
                                 b"+OK \r\n" + body + b".\r\n")
        c.sync()

    def test_retr_line_ends_across_read_buffer_boundaries(self):
        # Put each kind of line end, and a line starting with a dot, right on
        # every 4 KiB boundary up to 1 MiB, where a reader working in chunks
        # of any power of two up to that size has to split them.
        data = bytearray()
        kinds = [b"\r\n", b"\r", b"\n", b"\n\r", b"\r\r\n"]
        for k in range(1, 257):
            boundary = k * 4096
            end = kinds[k % len(kinds)]
            fill = boundary - len(data) - 1   # the line end starts at boundary-1
            data += (b"x" if k % 2 else b".") + b"y" * (fill - 1) + end
            if k % 3 == 0:
                data += b"."   # a dot at the start of the next line
        data += b"tail without end"
        user = self.new_user({"big": bytes(data)})
        c = self.connect()
        c.login(user)
        self.assertEqual(c.request(b"LIST 1"), b"+OK 1 %d\r\n" % sent_size(data))
        got = c.request(b"RETR 1", multi=True)
        expected = retr_reply(bytes(data))
        if got != expected:
            i = next((i for i, (a, b) in enumerate(zip(got, expected)) if a != b),
                     min(len(got), len(expected)))
            self.fail("RETR differs at byte %d of %d (got %d bytes): got %r expected %r"
                      % (i, len(expected), len(got), got[max(0, i - 20):i + 20],
                         expected[max(0, i - 20):i + 20]))
        c.sync()


if __name__ == "__main__":
    unittest.main()
