"""User names and message files must never lead the server outside its root.

Canary files are planted next to and above the root. None of them may ever
be listed, sent or removed, whatever the client sends and whatever is
swapped on disk behind the server's back."""

import os
import unittest

from server_case import ServerTestCase
from drennik import (LOGIN_FAILED, make_user, read_file, retr_reply, stat_reply,
                     write_file)

NO_SUCH = b"-ERR no such message\r\n"
UNAVAILABLE = b"-ERR message unavailable\r\n"
REFUSED = LOGIN_FAILED


class PathEscapes(ServerTestCase):

    @classmethod
    def prepare_class_root(cls):
        base = os.fsencode(cls.base)
        root = os.fsencode(cls.root)
        cls.canaries = {}

        def canary(path, tag):
            content = b"CANARY-" + tag + b"-" + b"#" * 97 + b"\r\n"
            write_file(path, content)
            cls.canaries[path] = content

        # Files in the folder that holds the root ("..").
        canary(os.path.join(base, b"canary-above-root"), b"above")
        # A folder beside the root reached by "../x" and "a/../../x".
        os.mkdir(os.path.join(base, b"x"))
        canary(os.path.join(base, b"x", b"1"), b"x1")
        canary(os.path.join(base, b"x", b"2"), b"x2")
        # A folder outside the root that symlinks point into.
        cls.outside = os.path.join(base, b"outside")
        os.mkdir(cls.outside)
        canary(os.path.join(cls.outside, b"1"), b"out1")
        canary(os.path.join(cls.outside, b"secret"), b"secret")
        canary(os.path.join(cls.outside, b"m1"), b"outm1")

        make_user(root, b"a", {b"inside-a": b"a's message\r\n"})
        make_user(root, b"x", {b"msg": b"x inside the root\r\n"})
        os.symlink(cls.outside, os.path.join(root, b"evil"))

    def tearDown(self):
        damaged = []
        for path, content in self.canaries.items():
            if not os.path.lexists(path):
                damaged.append("%r was removed" % path)
            elif os.path.islink(path) or read_file(path) != content:
                damaged.append("%r was changed" % path)
            else:
                continue
            # Put it back so later tests report only their own damage.
            if os.path.lexists(path):
                os.remove(path)
            write_file(path, content)
        super().tearDown()
        if damaged:
            self.fail("canaries outside the root damaged: " + "; ".join(damaged))

    def assert_no_canary(self, data):
        self.assertNotIn(b"CANARY", data, "canary content was sent: %r" % data[:300])

    def refused_session(self, name):
        """Log in with a bad name, then try everything; nothing may work."""
        c = self.connect()
        seen = bytearray()
        seen += c.request(b"USER " + name)
        reply = c.request(b"PASS " + name)
        self.assertEqual(reply, REFUSED, "PASS %r" % name)
        stat = c.request(b"STAT")
        seen += stat
        self.assertIn(stat, (b"+OK  \r\n", b"+OK 0 0\r\n"), "STAT after PASS %r" % name)
        listing = c.request(b"LIST", multi=True)
        seen += listing
        self.assertIn(listing, (b"+OK  Messages\r\n.\r\n", b"+OK 0 Messages\r\n.\r\n"))
        for n in (b"1", b"2"):
            got = c.request(b"RETR " + n, multi=True)
            seen += got
            self.assertEqual(got, NO_SUCH)
            self.assertEqual(c.request(b"DELE " + n), NO_SUCH)
        self.assertEqual(c.request(b"QUIT"), b"+OK \r\n")
        c.sync()
        self.assert_no_canary(bytes(seen))
        c.close()

    def test_names_that_escape_the_root_are_refused(self):
        names = [b"..", b".", b"../x", b"a/../../x", b"/etc", b"x/..", b"../root/x",
                 b"./x", b"x/", b"a/..", b"..\\x", b"../outside", b"evil/.."]
        for name in names:
            with self.subTest(name=name):
                self.refused_session(name)

    def test_names_with_forbidden_bytes_are_refused(self):
        root = os.fsencode(self.root)
        bad = [b"a\\b", b"a:b", b"a*b", b"a?b", b"a\tb", b"a\x01b", b"a\x1fb",
               b"a\x7fb", b"a\x1bb"]
        for name in bad:
            # The folder exists and holds a message, so accepting the name
            # would show up as a maildrop with one message.
            make_user(root, name, {b"1": b"should stay hidden\r\n"})
        for name in bad + [b"x\x00", b"x\x00y", b"\x00x"]:
            with self.subTest(name=name):
                self.refused_session(name)
        for name in bad:
            self.assertEqual(os.listdir(os.path.join(root, name)), [b"1"])

    def test_name_length_limit(self):
        root = os.fsencode(self.root)
        longest = b"n" * 255
        make_user(root, longest, {b"1": b"long name ok\r\n"})
        c = self.connect()
        c.login(longest)
        self.assertEqual(c.request(b"STAT"), stat_reply([14]))
        c.sync()
        for name in (b"n" * 256, b"n" * 300, b"../" * 100 + b"x", b"n" * 70000 + b"/x"):
            with self.subTest(length=len(name)):
                if len(name) > 60000:
                    # Over the line limit: the server ends the connection.
                    c = self.connect()
                    c.send(b"USER x\r\nPASS " + name + b"\r\n")
                    self.assert_no_canary(c.read_to_eof())
                else:
                    self.refused_session(name)

    def test_hidden_folders_are_no_maildrops(self):
        # Names beginning with "." are hidden, as message files beginning with "."
        # are: an administrator's dot-folder is nobody's maildrop.
        root = os.fsencode(self.root)
        for name in (b"...", b".hidden-user", b".ssh"):
            make_user(root, name, {b"1": b"should stay hidden\r\n"})
            with self.subTest(name=name):
                self.refused_session(name)

    def test_unusual_but_plain_names_are_accepted(self):
        root = os.fsencode(self.root)
        for name in (b"caf\xc3\xa9", b"a b", b"-dash", b"u\xff", b"dot.", b"a..b"):
            with self.subTest(name=name):
                make_user(root, name, {b"m": b"hello " + name + b"\r\n"})
                c = self.connect()
                c.login(name)
                self.assertEqual(c.request(b"RETR 1", multi=True),
                                 retr_reply(b"hello " + name + b"\r\n"))
                c.sync()
                c.close()

    def test_symlinked_user_folder_is_an_empty_maildrop(self):
        c = self.connect()
        c.login(b"evil")
        self.assertEqual(c.request(b"STAT"), b"+OK 0 0\r\n")
        listing = c.request(b"LIST", multi=True)
        self.assertEqual(listing, b"+OK 0 Messages\r\n.\r\n")
        for n in (b"1", b"2", b"3"):
            self.assertEqual(c.request(b"RETR " + n, multi=True), NO_SUCH)
            self.assertEqual(c.request(b"DELE " + n), NO_SUCH)
        self.assertEqual(c.request(b"QUIT"), b"+OK \r\n")
        c.sync()

    def test_message_symlinks_present_at_scan_are_ignored(self):
        root = os.fsencode(self.root)
        folder = make_user(root, b"links", {b"m1": b"first\r\n", b"m3": b"third\r\n"})
        os.symlink(os.path.join(self.outside, b"secret"), os.path.join(folder, b"m2"))
        os.symlink(b"../../outside/1", os.path.join(folder, b"m0"))
        os.symlink(b"m1", os.path.join(folder, b"m4"))
        os.symlink(self.outside, os.path.join(folder, b"m5"))
        c = self.connect()
        c.login(b"links")
        self.assertEqual(c.request(b"STAT"), stat_reply([7, 7]))
        seen = c.request(b"LIST", multi=True)
        self.assertEqual(seen, b"+OK 2 Messages\r\n1 7\r\n2 7\r\n.\r\n")
        self.assertEqual(c.request(b"RETR 1", multi=True), retr_reply(b"first\r\n"))
        self.assertEqual(c.request(b"RETR 2", multi=True), retr_reply(b"third\r\n"))
        self.assertEqual(c.request(b"RETR 3", multi=True), NO_SUCH)
        for n in (1, 2):
            self.assertEqual(c.request(b"DELE %d" % n), b"+OK\r\n")
        self.assertEqual(c.request(b"DELE 3"), NO_SUCH)
        self.assertEqual(c.request(b"QUIT"), b"+OK \r\n")
        c.sync()
        self.assertEqual(sorted(os.listdir(folder)), [b"m0", b"m2", b"m4", b"m5"])

    def test_message_swapped_for_a_symlink_after_the_scan(self):
        root = os.fsencode(self.root)
        folder = make_user(root, b"swap", {b"m1": b"one\r\n", b"m2": b"two\r\n"})
        c = self.connect()
        c.login(b"swap")
        self.assertEqual(c.request(b"STAT"), stat_reply([5, 5]))
        # Replace m1 atomically by a symlink to a canary outside the root.
        tmp = os.path.join(folder, b".tmp-link")
        os.symlink(os.path.join(self.outside, b"secret"), tmp)
        os.rename(tmp, os.path.join(folder, b"m1"))
        self.assertEqual(c.request(b"RETR 1", multi=True), UNAVAILABLE)
        self.assertEqual(c.request(b"RETR 2", multi=True), retr_reply(b"two\r\n"))
        self.assertEqual(c.request(b"DELE 1"), b"+OK\r\n")
        self.assertEqual(c.request(b"DELE 2"), b"+OK\r\n")
        reply = c.request(b"QUIT")
        self.assertIn(reply, (b"+OK \r\n", b"-ERR some deleted messages not removed\r\n"))
        c.sync()
        # The symlink was not the file the scan saw: it is left alone.
        self.assertEqual(sorted(os.listdir(folder)), [b"m1"])
        self.assertTrue(os.path.islink(os.path.join(folder, b"m1")))

    def swap_user_folder(self, name):
        """Log in, then replace the user folder with a symlink to a folder
        outside the root that holds a canary under the same file name."""
        root = os.fsencode(self.root)
        folder = make_user(root, name, {b"m1": b"inside\r\n"})
        c = self.connect()
        c.login(name)
        self.assertEqual(c.request(b"STAT"), stat_reply([8]))
        os.rename(folder, folder + b".moved")
        os.symlink(self.outside, folder)
        return c

    def test_user_folder_swapped_after_scan_is_never_deleted_through(self):
        c = self.swap_user_folder(b"swapdir1")
        self.assertEqual(c.request(b"DELE 1"), b"+OK\r\n")
        reply = c.request(b"QUIT")
        self.assertIn(reply, (b"+OK \r\n", b"-ERR some deleted messages not removed\r\n"))
        c.sync()
        # tearDown checks that outside/m1 survived.

    def test_user_folder_swapped_after_scan_is_never_read_through(self):
        c = self.swap_user_folder(b"swapdir2")
        got = c.request(b"RETR 1", multi=True)
        self.assert_no_canary(got)
        self.assertIn(got, (UNAVAILABLE, retr_reply(b"inside\r\n")))
        c.sync()


if __name__ == "__main__":
    unittest.main()
