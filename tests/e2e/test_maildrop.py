"""How the files on disk become messages, and what DELE and QUIT do to them."""

import os
import pwd
import random
import unittest

from server_case import ServerTestCase
from drennik import (Server, list_reply, make_root, make_user, read_file, retr_reply, rmtree,
                     sent_size, sizes_of, stat_reply, write_file)

NO_SUCH = b"-ERR no such message\r\n"
UNAVAILABLE = b"-ERR message unavailable\r\n"
NOT_REMOVED = b"-ERR some deleted messages not removed\r\n"


class MessageSelection(ServerTestCase):

    def test_only_visible_regular_files_count_sorted_bytewise(self):
        # Bytewise order: digits < upper case < "_" < lower case < UTF-8,
        # and U+FF21 before U+1F600 (UTF-16 code units would order them the
        # other way round).
        regular = ["10", "9", "B", "_", "a", "a b", "zz", "\u00e9", "\uff21", "\U0001f600",
                   "line\nbreak", "-", "A", "a.b"]
        contents = {name: ("<%s>" % name).encode() * (i + 1) + b"\r\n"
                    for i, name in enumerate(regular)}
        user = self.new_user(contents)
        folder = self.user_dir(user)
        write_file(os.path.join(folder, b".hidden"), b"hidden\r\n")
        os.mkdir(os.path.join(folder, b"sub"))
        write_file(os.path.join(folder, b"sub", b"inner"), b"inner\r\n")
        os.symlink(b"a", os.path.join(folder, b"link-to-a"))
        os.symlink(b"missing", os.path.join(folder, b"dangling"))
        os.symlink(b"sub", os.path.join(folder, b"link-to-sub"))
        os.mkfifo(os.path.join(folder, b"fifo"))

        order = sorted(regular, key=lambda n: n.encode())
        sizes = [sent_size(contents[n]) for n in order]
        c = self.connect()
        c.login(user)
        self.assertEqual(c.request(b"STAT"), stat_reply(sizes))
        self.assertEqual(c.request(b"LIST", multi=True), list_reply(sizes))
        for i, name in enumerate(order, 1):
            with self.subTest(name=name):
                self.assertEqual(c.request(b"RETR %d" % i, multi=True),
                                 retr_reply(contents[name]))
        self.assertEqual(c.request(b"RETR %d" % (len(order) + 1), multi=True), NO_SUCH)
        c.sync()

    def test_many_messages(self):
        rnd = random.Random(11)
        names = sorted({str(rnd.randrange(10 ** 6)).encode() for _ in range(2500)})
        contents = {n: n * (1 + int(n) % 4) + b"\n" for n in names}
        user = self.new_user(contents)
        sizes = [sent_size(contents[n]) for n in names]
        c = self.connect()
        c.login(user)
        self.assertEqual(c.request(b"STAT"), stat_reply(sizes))
        self.assertEqual(c.request(b"LIST", multi=True), list_reply(sizes))
        for i in (1, len(names) // 2, len(names)):
            self.assertEqual(c.request(b"RETR %d" % i, multi=True),
                             retr_reply(contents[names[i - 1]]))
        odd = range(1, len(names) + 1, 2)
        got = c.pipeline([b"DELE %d" % i for i in odd] + [b"QUIT"])
        self.assertEqual(got, b"+OK\r\n" * len(odd) + b"+OK \r\n")
        self.assertEqual(sorted(os.listdir(self.user_dir(user))), names[1::2])

    def test_names_that_are_not_utf8(self):
        user = b"nu\xff"
        contents = {b"\xfe1": b"fe-one\r\n", b"a": b"plain a\r\n", b"\xff": b"ff\r\n",
                    b"\xc3\x28": b"broken utf8\r\n"}
        make_user(self.root, user, contents)
        order = sorted(contents)
        c = self.connect()
        c.login(user)
        self.assertEqual(c.request(b"STAT"), stat_reply([sent_size(contents[n]) for n in order]))
        for i, name in enumerate(order, 1):
            with self.subTest(name=name):
                self.assertEqual(c.request(b"RETR %d" % i, multi=True),
                                 retr_reply(contents[name]))
        for i in range(1, len(order) + 1):
            self.assertEqual(c.request(b"DELE %d" % i), b"+OK\r\n")
        self.assertEqual(c.request(b"QUIT"), b"+OK \r\n")
        c.sync()
        self.assertEqual(os.listdir(self.user_dir(user)), [])

    def test_sizes_beyond_32_bits(self):
        # Sparse files: large on paper, nothing on disk. Each is one line without an end, so
        # it is listed with the CR LF that RETR adds.
        user = self.new_user({})
        folder = self.user_dir(user)
        sizes = [3 << 30, 5 << 30, 1]
        for name, size in zip((b"a", b"b", b"c"), sizes):
            with open(os.path.join(folder, name), "wb") as f:
                f.truncate(size)
        c = self.connect()
        c.login(user)
        self.assertEqual(c.request(b"STAT"), b"+OK 3 8589934599\r\n")
        self.assertEqual(c.request(b"LIST", multi=True), list_reply([s + 2 for s in sizes]))
        self.assertEqual(c.request(b"LIST 2"), b"+OK 2 5368709122\r\n")
        for n in (1, 2):
            self.assertEqual(c.request(b"DELE %d" % n), b"+OK\r\n")
        self.assertEqual(c.request(b"QUIT"), b"+OK \r\n")
        c.sync()
        self.assertEqual(os.listdir(folder), [b"c"])

    def test_user_folder_symlink_inside_root_is_empty(self):
        target = self.new_user({"1": b"real message\r\n"})
        os.symlink(target, os.path.join(self.root, "alias"))
        c = self.connect()
        c.login("alias")
        self.assertEqual(c.request(b"STAT"), b"+OK 0 0\r\n")
        self.assertEqual(c.request(b"RETR 1", multi=True), NO_SUCH)
        self.assertEqual(c.request(b"DELE 1"), NO_SUCH)
        self.assertEqual(c.request(b"QUIT"), b"+OK \r\n")
        c.sync()
        self.assertEqual(os.listdir(self.user_dir(target)), [b"1"])

    def test_pass_scans_again_and_the_scan_is_what_counts(self):
        user = self.new_user({"1": b"one\r\n"})
        folder = self.user_dir(user)
        c = self.connect()
        c.login(user)
        self.assertEqual(c.request(b"STAT"), stat_reply([5]))
        write_file(os.path.join(folder, b"2"), b"second\r\n")
        # Until the next PASS the numbering stays that of the last scan.
        self.assertEqual(c.request(b"STAT"), stat_reply([5]))
        self.assertEqual(c.request(b"RETR 2", multi=True), NO_SUCH)
        self.assertEqual(c.request(b"PASS " + user.encode()), b"+OK\r\n")
        self.assertEqual(c.request(b"STAT"), stat_reply([5, 8]))
        self.assertEqual(c.request(b"RETR 2", multi=True), retr_reply(b"second\r\n"))
        c.sync()

    def test_maildrop_stays_with_the_accepted_user(self):
        alice = self.new_user({"1": b"alice one\r\n", "2": b"alice two\r\n"}, prefix="alice")
        bob = self.new_user({"1": b"bob one\r\n", "2": b"bob two\r\n"}, prefix="bob")
        c = self.connect()
        c.login(alice)
        self.assertEqual(c.request(b"USER " + bob.encode()), b"+OK\r\n")
        self.assertEqual(c.request(b"RETR 1", multi=True), retr_reply(b"alice one\r\n"))
        self.assertEqual(c.request(b"DELE 1"), b"+OK\r\n")
        self.assertEqual(c.request(b"QUIT"), b"+OK \r\n")
        c.sync()
        self.assertEqual(sorted(os.listdir(self.user_dir(alice))), [b"2"])
        self.assertEqual(sorted(os.listdir(self.user_dir(bob))), [b"1", b"2"])


class UnavailableMessages(ServerTestCase):

    def test_retr_of_a_file_that_went_away_or_changed_kind(self):
        names = ["1", "2", "3", "4"]
        user = self.new_user({n: ("message %s\r\n" % n).encode() for n in names})
        folder = self.user_dir(user)
        c = self.connect()
        c.login(user)
        os.remove(os.path.join(folder, b"1"))
        os.remove(os.path.join(folder, b"2"))
        os.mkdir(os.path.join(folder, b"2"))
        os.remove(os.path.join(folder, b"3"))
        os.symlink(b"4", os.path.join(folder, b"3"))
        for n, expected in [(1, UNAVAILABLE), (2, UNAVAILABLE), (3, UNAVAILABLE),
                            (4, retr_reply(b"message 4\r\n"))]:
            with self.subTest(message=n):
                self.assertEqual(c.request(b"RETR %d" % n, multi=True), expected)
        # STAT and LIST still describe the scan.
        self.assertEqual(c.request(b"STAT"), stat_reply([11] * 4))
        c.sync()

    def test_retr_of_a_file_replaced_by_a_fifo_does_not_block(self):
        user = self.new_user({"1": b"one\r\n", "2": b"two\r\n"})
        folder = self.user_dir(user)
        fifo = os.path.join(folder, b"1")
        c = self.connect()
        c.login(user)
        os.remove(fifo)
        os.mkfifo(fifo)
        try:
            self.assertEqual(c.request(b"RETR 1", multi=True), UNAVAILABLE)
            self.assertEqual(c.request(b"RETR 2", multi=True), retr_reply(b"two\r\n"))
            c.sync()
        finally:
            # If the server sits in a blocking open of the FIFO, give it a
            # writer so it can come back for the tests that follow.
            try:
                fd = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
                os.close(fd)
            except OSError:
                pass


class DeleteAndQuit(ServerTestCase):

    def test_dele_marks_and_quit_removes(self):
        contents = {"a": b"A\r\n", "b": b"BB\r\n", "c": b"CCC\r\n", "d": b"DDDD\r\n"}
        user = self.new_user(contents)
        sizes = [3, 4, 5, 6]
        c = self.connect()
        c.login(user)
        self.assertEqual(c.request(b"DELE 1"), b"+OK\r\n")
        self.assertEqual(c.request(b"DELE 3"), b"+OK\r\n")
        self.assertEqual(c.request(b"DELE 3"), b"+OK\r\n")
        self.assertEqual(c.request(b"DELE 5"), NO_SUCH)
        self.assertEqual(c.request(b"STAT"), stat_reply(sizes))
        self.assertEqual(c.request(b"LIST", multi=True), list_reply(sizes))
        self.assertEqual(c.request(b"LIST 3"), b"+OK 3 5\r\n")
        # Nothing is removed before QUIT.
        self.assertEqual(sorted(os.listdir(self.user_dir(user))), [b"a", b"b", b"c", b"d"])
        self.assertEqual(c.request(b"QUIT"), b"+OK \r\n")
        self.assertEqual(sorted(os.listdir(self.user_dir(user))), [b"b", b"d"])
        # The connection stays open after QUIT and keeps answering; a second
        # QUIT finds the marked files gone already and skips them.
        self.assertEqual(c.request(b"NOOP"), b"+OK\r\n")
        self.assertEqual(c.request(b"QUIT"), b"+OK \r\n")
        self.assertEqual(sorted(os.listdir(self.user_dir(user))), [b"b", b"d"])
        c.sync()
        c2 = self.connect()
        c2.login(user)
        self.assertEqual(c2.request(b"LIST", multi=True), list_reply([4, 6]))
        c2.sync()

    def test_quit_without_marks_removes_nothing(self):
        user = self.new_user({"a": b"1\r\n", "b": b"2\r\n"})
        c = self.connect()
        c.login(user)
        self.assertEqual(c.request(b"RETR 1", multi=True), retr_reply(b"1\r\n"))
        self.assertEqual(c.request(b"QUIT"), b"+OK \r\n")
        c.sync()
        self.assertEqual(sorted(os.listdir(self.user_dir(user))), [b"a", b"b"])

    def test_quit_only_removes_the_files_the_scan_saw(self):
        user = self.new_user({"a": b"old a\r\n", "b": b"old b\r\n", "c": b"old c\r\n",
                              "d": b"keep\r\n"})
        folder = self.user_dir(user)
        c = self.connect()
        c.login(user)
        for n in (1, 2, 3):
            self.assertEqual(c.request(b"DELE %d" % n), b"+OK\r\n")
        # "a" is replaced by a different file of the same name, size and
        # modification time; "b" disappears; "c" stays as scanned.
        path_a = os.path.join(folder, b"a")
        st = os.stat(path_a)
        tmp = os.path.join(folder, b".new-a")
        write_file(tmp, b"NEW a\r\n")
        os.utime(tmp, ns=(st.st_atime_ns, st.st_mtime_ns))
        os.rename(tmp, path_a)
        os.remove(os.path.join(folder, b"b"))
        reply = c.request(b"QUIT")
        self.assertIn(reply, (b"+OK \r\n", NOT_REMOVED))
        c.sync()
        self.assertEqual(sorted(os.listdir(folder)), [b"a", b"d"])
        self.assertEqual(read_file(path_a), b"NEW a\r\n")

    def test_a_marked_message_is_deleted_whatever_happened_to_its_attributes(self):
        user = self.new_user({"a": b"mode\r\n", "b": b"link\r\n", "c": b"read\r\n"})
        folder = self.user_dir(user)
        c = self.connect()
        c.login(user)
        for n in (1, 2, 3):
            self.assertEqual(c.request(b"DELE %d" % n), b"+OK\r\n")
        # A new mode, a second link (a backup, another recipient), a read: the
        # change time moves for each, yet each is still the message that was marked.
        os.chmod(os.path.join(folder, b"a"), 0o600)
        os.link(os.path.join(folder, b"b"), os.path.join(self.root, "backup-of-b"))
        read_file(os.path.join(folder, b"c"))
        self.assertEqual(c.request(b"QUIT"), b"+OK \r\n")
        c.sync()
        self.assertEqual(os.listdir(folder), [])

    def test_a_message_delivered_to_two_users_as_one_file(self):
        alice, bob = self.new_user({"1": b"Subject: x\r\n"}), self.new_user({})
        mine = os.path.join(self.user_dir(alice), b"1")
        theirs = os.path.join(self.user_dir(bob), b"1")
        os.link(mine, theirs)
        first = self.connect()
        first.login(alice)
        self.assertEqual(first.request(b"STAT"), b"+OK 1 12\r\n")
        first.close()
        # Appended to through bob's link: alice's next login sees the new size.
        with open(theirs, "ab") as f:
            f.write(b"and a body\r\n")
        c = self.connect()
        c.login(alice)
        self.assertEqual(c.request(b"STAT"), b"+OK 1 24\r\n")
        self.assertEqual(c.request(b"RETR 1", multi=True), retr_reply(b"Subject: x\r\nand a body\r\n"))
        # Bob deletes his copy while alice is logged in; hers is still hers to delete.
        os.remove(theirs)
        self.assertEqual(c.request(b"DELE 1"), b"+OK\r\n")
        self.assertEqual(c.request(b"QUIT"), b"+OK \r\n")
        c.sync()
        self.assertFalse(os.path.exists(mine))

    def test_quit_with_only_a_vanished_mark_succeeds(self):
        user = self.new_user({"a": b"x\r\n", "b": b"y\r\n"})
        folder = self.user_dir(user)
        c = self.connect()
        c.login(user)
        self.assertEqual(c.request(b"DELE 1"), b"+OK\r\n")
        os.remove(os.path.join(folder, b"a"))
        self.assertEqual(c.request(b"QUIT"), b"+OK \r\n")
        c.sync()
        self.assertEqual(os.listdir(folder), [b"b"])


class ReplacedRoot(unittest.TestCase):
    """The root is opened once: putting a link to another tree, or another folder, in its
    place while the server runs changes nothing for the sessions that follow."""

    def setUp(self):
        self.base = make_root()
        self.root = os.path.join(self.base, "root")
        self.moved = os.path.join(self.base, "moved")
        self.other = os.path.join(self.base, "other")
        self.original = {"1": b"original one\r\n", "2": b"original two\r\n"}
        make_user(self.root, "bob", self.original)
        make_user(self.other, "bob", {"1": b"other one\r\n", "2": b"other two!\r\n",
                                      "3": b"other three\r\n"})

    def tearDown(self):
        rmtree(self.base)

    def test_the_root_opened_at_the_start_is_served(self):
        sizes = [sent_size(self.original[n]) for n in ("1", "2")]
        with Server(self.root) as server:
            with server.connect() as c:
                c.login("bob")
                self.assertEqual(c.request(b"STAT"), stat_reply(sizes))
            os.rename(self.root, self.moved)
            os.symlink(self.other, self.root)
            for _ in range(2):  # told of once, not at every login
                with server.connect() as c:
                    c.login("bob")
                    self.replies_then_quit(c, [
                        (b"LIST", True, list_reply(sizes)),
                        (b"RETR 1", True, retr_reply(self.original["1"]))])
            with server.connect() as c:
                c.login("bob")
                self.assertEqual(c.request(b"DELE 1"), b"+OK\r\n")
                self.assertEqual(c.request(b"QUIT"), b"+OK \r\n")
                c.sync()
            self.assertEqual(os.listdir(os.path.join(self.moved, "bob")), ["2"])
            self.assertEqual(sorted(os.listdir(os.path.join(self.other, "bob"))),
                             ["1", "2", "3"])
            # Another folder under the name, not a link: still the one opened.
            os.remove(self.root)
            os.rename(self.other, self.root)
            with server.connect() as c:
                c.login("bob")
                self.replies_then_quit(c, [(b"STAT", False, stat_reply(sizes[1:]))])
            self.assertEqual(server.stop(), 0)
        warning = (b"drennik: warning: the maildrop root %s was replaced; still serving the one "
                   b"opened at start\n" % os.fsencode(self.root))
        self.assertEqual(server.stderr().count(warning), 1, server.stderr())

    def replies_then_quit(self, client, cases):
        for line, multi, expected in cases:
            self.assertEqual(client.request(line, multi), expected, line)
        self.assertEqual(client.request(b"QUIT"), b"+OK \r\n")
        client.sync()

    def test_a_root_made_after_the_start_is_served_from_the_next_login(self):
        later = os.path.join(self.base, "later")
        with Server(later) as server:
            with server.connect() as c:
                c.login("bob")
                self.assertEqual(c.request(b"STAT"), b"+OK 0 0\r\n")
            os.rename(self.root, later)
            with server.connect() as c:
                c.login("bob")
                self.assertEqual(c.request(b"RETR 2", multi=True),
                                 retr_reply(self.original["2"]))
            self.assertEqual(server.stop(), 0)
        self.assertIn(b"drennik: warning: the maildrop root %s does not exist; every maildrop "
                      b"is empty\n" % os.fsencode(later), server.stderr())
        self.assertNotIn(b"was replaced", server.stderr())


class UndeletableFiles(unittest.TestCase):
    """QUIT has to say so when a marked file cannot be removed. Removal is
    made to fail by taking away write permission from the user folder, which
    only binds a process that is not root: as root the server runs as nobody."""

    def setUp(self):
        self.base = make_root()
        self.root = os.path.join(self.base, "root")
        os.mkdir(self.root, 0o755)
        self.folder = make_user(self.root, "locked", {"1": b"one\r\n", "2": b"two\r\n"})
        uid = gid = None
        env = {}
        if os.geteuid() == 0:
            try:
                nobody = pwd.getpwnam("nobody")
            except KeyError:
                self.skipTest("no user 'nobody' to run the server as")
            uid, gid = nobody.pw_uid, nobody.pw_gid
            home = os.path.join(self.base, "home")
            os.mkdir(home, 0o700)
            os.chown(home, uid, gid)
            os.chown(self.folder, uid, gid)
            for name in os.listdir(self.folder):
                os.chown(os.path.join(self.folder, name), uid, gid)
            env = {"HOME": home, "XDG_RUNTIME_DIR": home, "XDG_CONFIG_HOME": home,
                   "XDG_CACHE_HOME": home}
        self.server = Server(self.root, uid=uid, gid=gid, env=env)
        self.server.start()
        if uid is not None:
            self.assertEqual(self.server.ids(), (uid, gid), "the server does not run as nobody")

    def tearDown(self):
        try:
            os.chmod(self.folder, 0o755)
            self.server.stop()
        finally:
            rmtree(self.base)

    def test_quit_reports_files_it_could_not_delete(self):
        with self.server.connect() as c:
            c.login("locked")
            os.chmod(self.folder, 0o555)
            self.assertEqual(c.request(b"DELE 1"), b"+OK\r\n")
            self.assertEqual(c.request(b"QUIT"), NOT_REMOVED)
            c.sync()
        self.assertEqual(sorted(os.listdir(self.folder)), [b"1", b"2"])
        os.chmod(self.folder, 0o755)
        with self.server.connect() as c:
            c.login("locked")
            self.assertEqual(c.request(b"DELE 2"), b"+OK\r\n")
            self.assertEqual(c.request(b"QUIT"), b"+OK \r\n")
            c.sync()
        self.assertEqual(sorted(os.listdir(self.folder)), [b"1"])
        self.assertTrue(self.server.alive())

    def test_retr_of_an_unreadable_file(self):
        with self.server.connect() as c:
            c.login("locked")
            os.chmod(os.path.join(self.folder, b"1"), 0)
            self.assertEqual(c.request(b"RETR 1", multi=True), UNAVAILABLE)
            self.assertEqual(c.request(b"RETR 2", multi=True), retr_reply(b"two\r\n"))
            c.sync()


if __name__ == "__main__":
    unittest.main()


class MaildirFolders(ServerTestCase):

    def test_uidls_stay_while_files_move_from_new_to_cur(self):
        user = self.new_user()
        folder = self.user_dir(user)
        for sub in (b"new", b"cur", b"tmp"):
            os.mkdir(os.path.join(folder, sub))
        files = {b"new/1700000003.a.host": b"Subject: c\r\n\r\nthree\r\n",
                 b"cur/1700000001.a.host:2,S": b"Subject: a\r\n\r\none\r\n",
                 b"new/1700000002.a.host": b"Subject: b\r\n\r\ntwo\r\n.dot\r\n",
                 b"tmp/1700000000.a.host": b"not yet delivered\r\n"}
        for name, content in files.items():
            write_file(os.path.join(folder, name), content)
        contents = [files[b"cur/1700000001.a.host:2,S"], files[b"new/1700000002.a.host"],
                    files[b"new/1700000003.a.host"]]
        uidl = (b"+OK\r\n1 1700000001.a.host\r\n2 1700000002.a.host\r\n"
                b"3 1700000003.a.host\r\n.\r\n")
        c = self.connect()
        c.login(user)
        self.assertEqual(c.request(b"STAT"), stat_reply(sizes_of(contents)))
        self.assertEqual(c.request(b"UIDL", multi=True), uidl)
        # A mail reader moves 2 to cur/ and flags 1 again while the session is open.
        os.rename(os.path.join(folder, b"new/1700000002.a.host"),
                  os.path.join(folder, b"cur/1700000002.a.host:2,S"))
        os.rename(os.path.join(folder, b"cur/1700000001.a.host:2,S"),
                  os.path.join(folder, b"cur/1700000001.a.host:2,RS"))
        for number, content in enumerate(contents, 1):
            self.assertEqual(c.request(b"RETR %d" % number, multi=True), retr_reply(content))
        self.assertEqual(c.request(b"TOP 2 0", multi=True), b"+OK \r\nSubject: b\r\n\r\n.\r\n")
        self.assertEqual(c.request(b"DELE 2"), b"+OK\r\n")
        self.assertEqual(c.request(b"QUIT"), b"+OK \r\n")
        self.assertEqual(sorted(os.listdir(os.path.join(folder, b"cur"))),
                         [b"1700000001.a.host:2,RS"])
        c = self.connect()
        c.login(user)
        self.assertEqual(c.request(b"UIDL", multi=True),
                         b"+OK\r\n1 1700000001.a.host\r\n2 1700000003.a.host\r\n.\r\n")
        c.sync()
