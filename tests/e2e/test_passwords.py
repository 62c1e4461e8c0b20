"""Real passwords: crypt(3) hashes from a file, checked without holding anyone up."""

import os
import subprocess
import unittest

from server_case import ServerTestCase
from drennik import (DEADLINE, LOGIN_FAILED, Client, make_root, retr_reply, rmtree, run_once,
                     wait_until, write_file)

MESSAGE = b"Subject: secret\r\n\r\nfor alice only\r\n"


def openssl_hash(password):
    """A SHA-512-crypt hash as `openssl passwd -6` makes it."""
    return subprocess.run(["openssl", "passwd", "-6", password], check=True,
                          capture_output=True).stdout.strip()


class Passwords(ServerTestCase):

    @classmethod
    def prepare_class_root(cls):
        cls.passwords = os.path.join(cls.base, "passwords")
        write_file(cls.passwords, b"# users of this test\n\nalice:" + openssl_hash("s3cret")
                   + b"\nbob:" + openssl_hash("hunter2") + b"\n")
        cls.server_args = ("--passwords", cls.passwords)

    def test_the_file_decides_who_logs_in(self):
        os.makedirs(os.path.join(self.root, "alice"), exist_ok=True)
        write_file(os.path.join(self.root, "alice", "1"), MESSAGE)
        url = "pop3://127.0.0.1:%d/1" % self.server.port
        got = subprocess.run(["curl", "-s", "--max-time", "30", "-u", "alice:s3cret", url],
                             capture_output=True, timeout=60)
        self.assertEqual(got.returncode, 0, got.stderr)
        self.assertEqual(got.stdout, MESSAGE)
        refused = subprocess.run(["curl", "-s", "--max-time", "30", "-u", "alice:alice", url],
                                 capture_output=True, timeout=60)
        self.assertNotEqual(refused.returncode, 0, "the user name is no password here")
        c = self.connect()
        for user, password in ((b"carol", b"carol"), (b"bob", b"s3cret")):
            self.assertEqual(c.request(b"USER " + user), b"+OK\r\n")
            self.assertEqual(c.request(b"PASS " + password), LOGIN_FAILED)
        c.login("alice", "s3cret")
        self.assertEqual(c.request(b"RETR 1", multi=True), retr_reply(MESSAGE))
        c.sync()

    def test_a_failed_check_holds_up_nobody_else(self):
        os.makedirs(os.path.join(self.root, "bob"), exist_ok=True)
        slow = self.connect()
        self.assertEqual(slow.request(b"USER bob"), b"+OK\r\n")
        slow.send(b"PASS wrong\r\n")
        # While that answer waits its second, another client logs in and is done.
        quick = self.connect()
        quick.login("bob", "hunter2")
        self.assertEqual(quick.request(b"STAT"), b"+OK 0 0\r\n")
        self.assertFalse(slow.ready_within(0.01), "the failed PASS was answered before the others")
        self.assertEqual(slow.read_line(), LOGIN_FAILED)
        slow.sync()


class BadPasswordFiles(unittest.TestCase):

    def test_a_file_that_cannot_decide_stops_the_start_saying_why(self):
        base = make_root()
        try:
            path = os.path.join(base, "passwords")
            cases = [
                (b"# fine\nalice:" + openssl_hash("x") + b"\nbob:not-a-hash\n", b"line 3"),
                (b"# nobody yet\n\n", b"no user:hash entry"),
                (None, b"not a regular file"),  # a folder at the name
            ]
            for content, why in cases:
                if content is None:
                    os.remove(path)
                    os.mkdir(path)
                else:
                    write_file(path, content)
                status, out, err = run_once(["--port", "0", "--root", base, "--passwords", path])
                self.assertEqual((status, out), (2, b""), err)
                self.assertIn(why, err)
            status, _, err = run_once(["--port", "0", "--root", base, "--passwords",
                                       os.path.join(base, "missing")])
            self.assertEqual(status, 2)
        finally:
            rmtree(base)


class ReadableSecrets(ServerTestCase):

    @classmethod
    def prepare_class_root(cls):
        cls.passwords = os.path.join(cls.base, "passwords")
        write_file(cls.passwords, b"alice:" + openssl_hash("s3cret") + b"\n")
        os.chmod(cls.passwords, 0o644)
        cls.server_args = ("--passwords", cls.passwords)

    def test_a_passwords_file_others_can_read_is_warned_of(self):
        self.assertIn(b"drennik: warning: %s is readable by others" % self.passwords.encode(),
                      self.server.stderr())


class FailurePenalty(ServerTestCase):
    """The delay a failed login gets, read from its log line rather than timed."""

    @classmethod
    def prepare_class_root(cls):
        passwords = os.path.join(cls.base, "passwords")
        write_file(passwords, b"alice:" + openssl_hash("s3cret") + b"\n")
        os.chmod(passwords, 0o600)  # else a warning, which is no log line
        cls.server_args = ("--passwords", passwords, "--trusted-networks", "127.0.0.4/32",
                           "--max-per-address", "1")
        os.makedirs(os.path.join(cls.root, "alice"))

    def delays(self, source, count):
        def found():
            got = [int(e["delay-ms"]) for e in self.server.log("login-failed")
                   if e["client"].startswith(source.encode() + b":")]
            return got if len(got) >= count else None
        return wait_until(found, DEADLINE, "%d failed logins from %s" % (count, source))

    def fail_logins(self, c, times):
        for _ in range(times):
            self.assertEqual(c.request(b"USER alice"), b"+OK\r\n")
            self.assertEqual(c.request(b"PASS wrong"), LOGIN_FAILED)

    def client(self, source, greet=True):
        c = Client(self.server.port, greet=greet, source=source)
        self.addCleanup(c.close)
        return c

    def test_grows_for_one_address_resets_on_success_and_spares_trusted_ones(self):
        c = self.client("127.0.0.3")
        self.fail_logins(c, 3)
        c.login("alice", "s3cret")
        self.fail_logins(c, 1)
        self.assertEqual(self.delays("127.0.0.3", 4), [1000, 2000, 4000, 1000])
        # Trusted: no growth, and not held to --max-per-address 1.
        first, second = self.client("127.0.0.4"), self.client("127.0.0.4")
        self.fail_logins(first, 2)
        self.fail_logins(second, 1)
        self.assertEqual(self.delays("127.0.0.4", 3), [1000, 1000, 1000])
        self.client("127.0.0.5")
        over = self.client("127.0.0.5", greet=False)
        self.assertEqual(over.read_to_eof(), b"-ERR too many connections\r\n")


class TlsRequired(ServerTestCase):

    server_args = ("--tls-self-signed", "--require-tls")

    def test_no_user_or_password_crosses_in_clear(self):
        c = self.connect()
        self.assertEqual(c.request(b"USER alice"), b"-ERR TLS required\r\n")
        self.assertEqual(c.request(b"PASS alice"), b"-ERR TLS required\r\n")
        self.assertEqual(c.request(b"STAT"), b"+OK  \r\n", "nothing was logged in")
        # Refused in clear, the client has not begun to log in: it may still turn TLS on.
        self.assertEqual(c.request(b"STLS"), b"+OK\r\n")


if __name__ == "__main__":
    unittest.main()
