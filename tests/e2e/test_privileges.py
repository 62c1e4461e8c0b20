"""Started as root, the server gives up root once its port is bound."""

import glob
import os
import pwd
import socket
import tempfile
import unittest

import server_case  # noqa: F401  (puts the shared fixture on the path)
from drennik import (HOST, MAILDROP_UNREADABLE, Server, make_user, retr_reply, rmtree, run_once,
                     wait_until)

UNAVAILABLE = b"-ERR message unavailable\r\n"
REFUSAL = (b"drennik: will not run as root: the maildrop root is missing or owned by root; "
           b"chown it to an unprivileged user, or pass --user NAME (--user root to stay root "
           b"on purpose)\n")
MESSAGE = b"Subject: kept\r\n\r\n.dot line\r\nlone LF\nend\r\n"


def free_privileged_port():
    """A port below 1024 nobody listens on, so that only root can bind it."""
    for port in range(1023, 899, -1):
        with socket.socket() as s:
            try:
                s.bind((HOST, port))
            except OSError:
                continue
            return port
    return 0


def chown_tree(path, uid, gid):
    os.chown(path, uid, gid)
    for folder, dirs, files in os.walk(path):
        for name in dirs + files:
            os.chown(os.path.join(folder, name), uid, gid)


def process_ids(pid):
    """The Uid, Gid and Groups lines of every thread of the process."""
    seen = set()
    for status in glob.glob("/proc/%d/task/*/status" % pid):
        with open(status) as f:
            fields = dict(line.split(":", 1) for line in f if ":" in line)
        seen.add((tuple(fields["Uid"].split()), tuple(fields["Gid"].split()),
                  tuple(sorted(fields["Groups"].split()))))
    return seen


@unittest.skipUnless(hasattr(os, "geteuid") and os.geteuid() == 0,
                     "needs root to start the server as root")
class Privileges(server_case.OwnServersTestCase):

    def setUp(self):
        super().setUp()
        try:
            self.nobody = pwd.getpwnam("nobody")
        except KeyError:
            self.skipTest("no user 'nobody'")
        # Every parent of the root must be traversable by nobody.
        self.base = tempfile.mkdtemp(prefix="drennik-e2e-priv-", dir="/tmp")
        os.chmod(self.base, 0o755)
        self.root = os.path.join(self.base, "root")
        os.mkdir(self.root, 0o755)
        self.folder = os.fsdecode(make_user(self.root, "a", {"1": MESSAGE, "2": b"secret\r\n"}))

    def tearDown(self):
        super().tearDown()
        rmtree(self.base)

    def give_mail_to_nobody(self):
        chown_tree(self.folder, self.nobody.pw_uid, self.nobody.pw_gid)
        # Left to root: nobody must not be able to read it.
        os.chown(os.path.join(self.folder, "2"), 0, 0)
        os.chmod(os.path.join(self.folder, "2"), 0o600)

    def assert_serves_as_nobody(self, s):
        uid, gid = str(self.nobody.pw_uid), str(self.nobody.pw_gid)
        groups = tuple(sorted(str(g) for g in os.getgrouplist("nobody", self.nobody.pw_gid)))
        self.assertEqual(process_ids(s.pid), {((uid,) * 4, (gid,) * 4, groups)})
        with s.connect() as c:
            c.login("a")
            self.assertEqual(c.request(b"RETR 1", multi=True), retr_reply(MESSAGE))
            self.assertEqual(c.request(b"RETR 2", multi=True), UNAVAILABLE)
            self.assertEqual(c.request(b"DELE 1"), b"+OK\r\n")
            self.assertEqual(c.request(b"QUIT"), b"+OK \r\n")
            c.sync()
        self.assertEqual(os.listdir(self.folder), ["2"])
        self.assertEqual(s.stop(), 0, "stderr=%r" % s.stderr())
        self.assertNotIn(b"drennik: warning", s.stderr())

    def test_becomes_the_owner_of_the_maildrop_root_after_binding(self):
        chown_tree(self.root, self.nobody.pw_uid, self.nobody.pw_gid)
        self.give_mail_to_nobody()
        # A port only root may bind proves the bind came before the switch.
        port = free_privileged_port()
        s = self.server(port=port, stay_root=False).start()
        if port:
            self.assertEqual(s.port, port)
        self.assert_serves_as_nobody(s)

    def test_user_option_wins_over_a_root_owned_maildrop_root(self):
        self.give_mail_to_nobody()
        s = self.server(args=["--user", "nobody"]).start()
        self.assert_serves_as_nobody(s)

    def test_a_folder_the_server_may_not_read_is_a_temporary_failure(self):
        self.give_mail_to_nobody()
        os.chmod(make_user(self.root, "locked", {"1": MESSAGE}), 0o700)  # root's
        s = self.server(args=["--user", "nobody"]).start()
        with s.connect() as c:
            c.expect(b"USER locked", b"+OK\r\n")
            c.expect(b"PASS locked", MAILDROP_UNREADABLE)
            c.expect(b"STAT", b"+OK  \r\n")  # no session begun
        error = s.wait_for_log("maildrop-error", user=b"locked")[0]
        self.assertEqual((error["op"], error["error"]), (b"scan", b"Permission denied"))
        self.assertEqual(s.log("login", user=b"locked"), [])
        self.assertEqual(s.stop(), 0)

    def test_root_stays_only_when_asked_by_name(self):
        for root in (self.root, os.path.join(self.base, "missing")):
            s = self.server(root=root, stay_root=False).start(wait=False)
            self.assertEqual(s.wait(), 1, "stderr=%r" % s.stderr())
            self.assertEqual((s.stdout(), s.stderr()), (b"", REFUSAL))
        s = self.server(args=["--user", "root"]).start()
        self.assertEqual({ids[0] for ids in process_ids(s.pid)}, {("0",) * 4})
        with s.connect() as c:
            c.login("a")
            self.assertEqual(c.request(b"RETR 2", multi=True), retr_reply(b"secret\r\n"))
        self.assertEqual(s.stop(), 0)
        self.assertNotIn(b"warning", s.stderr())

    def test_no_new_privileges_and_no_toolkit_without_a_display(self):
        chown_tree(self.root, self.nobody.pw_uid, self.nobody.pw_gid)
        s = self.server(stay_root=False, env={"XDG_RUNTIME_DIR": None}).start()
        with open("/proc/%d/status" % s.pid) as f:
            self.assertIn("NoNewPrivs:\t1", f.read())
        # Headless, no display platform is loaded at all, as root or otherwise.
        with open("/proc/%d/maps" % s.pid) as f:
            self.assertNotIn("/platforms/", f.read())
        self.assertEqual(s.stop(), 0)
        self.assertNotIn(b"runtime-root", s.stderr())

    def test_users_that_cannot_be_had_stop_the_start(self):
        unknown = "drennik-no-such-user"
        with self.assertRaises(KeyError):
            pwd.getpwnam(unknown)
        rc, out, err = run_once(["--port", "0", "--root", self.root, "--user", unknown])
        self.assertEqual((rc, out), (1, b""), "stderr=%r" % err)
        self.assertEqual(err, b"drennik: cannot switch to user %s: no such user\n"
                         % unknown.encode())
        # Not started as root, another user cannot be had either.
        s = self.server(uid=self.nobody.pw_uid, gid=self.nobody.pw_gid,
                        args=["--user", "root"]).start(wait=False)
        self.assertEqual(s.wait(), 1, "stderr=%r" % s.stderr())
        self.assertEqual(s.stderr(),
                         b"drennik: cannot switch to user root: not started as root\n")
        self.assertEqual(s.stdout(), b"")


if __name__ == "__main__":
    unittest.main()
