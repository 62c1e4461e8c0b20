"""The operator's log on standard error: the lines of whole sessions, failed logins that try
to forge lines, refusals by a limit, why connections closed, no secret in it, and the
fail2ban filter the package installs run over a log this server wrote. Every read of the log
also checks that standard error holds nothing but well-formed log lines (drennik.log)."""

import configparser
import os
import poplib
import shutil
import socket
import ssl
import subprocess
import tempfile
import unittest

import server_case
from drennik import (HOST, LOGIN_FAILED, Client, make_user, retr_reply, wait_until,
                     write_file)
from test_passwords import openssl_hash

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
FAIL2BAN_REGEX = shutil.which("fail2ban-regex")
FAIL2BAN_CLIENT = shutil.which("fail2ban-client")
MESSAGE = b"Subject: a\r\n\r\nhello\r\n"

# A user name that tries to end its line and forge another with an address of its choosing:
# bare CR and LF, NUL, a terminal escape, quotes, '=' and blanks, and more than 64 bytes.
FORGING_NAME = (b"x\rdrennik: event=login-failed conn=1 client=10.9.9.9:1 user=y\n"
                b"\x00\x1b[2J\"q\" \\ = " + b"A" * 40)


def client_of(c):
    return "127.0.0.1:%d" % c.local_port


def unverified():
    context = ssl.create_default_context()
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    return context


class SessionLog(server_case.ServerTestCase):

    def session(self, client):
        """The events of one client's connection, once it has closed, in order."""
        self.server.wait_for_log("close", client=client_of(client))
        found = [e for e in self.server.log() if e.get("client") == client_of(client).encode()]
        self.assertEqual({e["conn"] for e in found}, {found[0]["conn"]}, found)
        return found

    def test_start_and_whole_sessions(self):
        start, listen = self.server.log()[:2]
        self.assertEqual((start.name, start["root"], start["tls"], start["log-level"]),
                         ("start", os.fsencode(self.root), b"no", b"info"))
        self.assertEqual(start["pid"], str(self.server.pid).encode())
        self.assertEqual((listen.name, listen["listener"], listen["tls"]), ("listen", b"pop3", b"no"))
        # One dual-stack socket, or IPv4 alone on a machine without IPv6.
        self.assertIn(listen["address"], (b"[::]:%d" % self.server.port,
                                          b"0.0.0.0:%d" % self.server.port))

        user = self.new_user({"1": MESSAGE, "2": b"two\r\n", "3": b"three\r\n"})
        c = self.connect()
        c.login(user)
        self.assertEqual(c.request(b"RETR 1", multi=True), retr_reply(MESSAGE))
        c.expect(b"DELE 2", b"+OK\r\n")
        c.expect(b"DELE 3", b"+OK\r\n")
        os.remove(os.path.join(self.user_dir(user), b"3"))  # a mark whose file is gone
        c.expect(b"QUIT", b"+OK \r\n")
        c.close()
        got = [(e.name, dict(e)) for e in self.session(c)]
        conn, client = got[0][1]["conn"], client_of(c).encode()
        ids = {"conn": conn, "client": client}
        self.assertEqual(got, [
            ("accept", dict(ids, listener=b"pop3")),
            ("login", dict(ids, user=user.encode(), method=b"USER", tls=b"no")),
            ("logout", dict(ids, user=user.encode(), quit=b"yes", retrieved=b"1",
                            bytes=str(len(MESSAGE)).encode(), deleted=b"1", unhonoured=b"1",
                            why=b"gone")),
            ("close", dict(ids, reason=b"peer-closed")),
        ])
        self.assertEqual(self.session(c)[1].keys_in_order,
                         ["conn", "client", "user", "method", "tls"])

        # Marks of a session that ends without QUIT are not honoured, and the log says so.
        c = self.connect()
        c.login(user)
        c.expect(b"DELE 1", b"+OK\r\n")
        c.close()
        logout = [e for e in self.session(c) if e.name == "logout"]
        self.assertEqual([(e["quit"], e["deleted"], e["unhonoured"], e["why"]) for e in logout],
                         [(b"no", b"0", b"1", b"no-quit")])
        self.assertTrue(os.path.exists(os.path.join(self.user_dir(user), b"1")))

    def test_a_maildrop_that_cannot_be_read_is_an_error(self):
        target = self.new_user({"1": MESSAGE})
        linked, plain = self.new_user(), self.new_user()
        os.rmdir(self.user_dir(linked))
        os.symlink(target, self.user_dir(linked))  # never followed
        os.rmdir(self.user_dir(plain))
        write_file(self.user_dir(plain), MESSAGE)
        for user in (linked, plain):
            with self.connect() as c:
                c.login(user)
                c.expect(b"STAT", b"+OK 0 0\r\n")
            error = self.server.wait_for_log("maildrop-error", client=client_of(c))[0]
            self.assertEqual((error["user"], error["op"], error["error"]),
                             (user.encode(), b"scan", b"Not a directory"))

    def test_failed_logins_cannot_forge_lines_or_fields(self):
        c = self.connect()
        c.expect(b"USER " + FORGING_NAME, b"+OK\r\n")
        c.expect(b"PASS x", LOGIN_FAILED)
        user = self.new_user()
        c.expect(b"USER " + user.encode(), b"+OK\r\n")
        c.expect(b"PASS wrong", LOGIN_FAILED)
        c.expect(b"PASS", LOGIN_FAILED)
        c.close()
        session = self.session(c)
        self.assertEqual([e.name for e in session],
                         ["accept"] + ["login-failed"] * 3 + ["close"])
        failed = session[1:4]
        self.assertEqual([(e["user"], e["reason"], e.get("user-cut")) for e in failed], [
            (FORGING_NAME[:64], b"invalid-name", b"yes"),
            (user.encode(), b"wrong-password", None),
            (user.encode(), b"wrong-password", None),
        ])
        self.assertEqual(failed[0].keys_in_order[:3], ["conn", "client", "user"])
        self.assertEqual([e for e in self.server.log() if b"10.9.9.9" in e.get("client", b"")],
                         [])


class OwnLogServers(server_case.OwnServersTestCase):
    """A maildrop root with alice's one message, for servers of the test's own."""

    def setUp(self):
        super().setUp()
        self.base = tempfile.mkdtemp(prefix="drennik-log-")
        self.root = os.path.join(self.base, "root")
        make_user(self.root, "alice", {"1": MESSAGE})

    def tearDown(self):
        super().tearDown()
        shutil.rmtree(self.base, ignore_errors=True)


class LimitLog(OwnLogServers):

    def test_refusals_name_the_client_and_the_limit(self):
        s = self.server(args=["--max-connections", "2", "--max-per-address", "1"]).start()
        first = Client(s.port)
        refused = Client(s.port, greet=False)
        self.assertEqual(refused.read_to_eof(), b"-ERR too many connections\r\n")
        other = Client(s.port, source="127.0.0.2")
        over = Client(s.port, greet=False, source="127.0.0.3")
        self.assertEqual(over.read_to_eof(), b"-ERR too many connections\r\n")
        got = [(e["client"], e["listener"], e["limit"]) for e in s.wait_for_log("refuse", 2)]
        self.assertEqual(got, [(b"127.0.0.1:%d" % refused.local_port, b"pop3", b"per-address"),
                               (b"127.0.0.3:%d" % over.local_port, b"pop3", b"connections")])
        accepted = {e["client"] for e in s.log("accept")}
        self.assertEqual(accepted, {b"127.0.0.1:%d" % first.local_port,
                                    b"127.0.0.2:%d" % other.local_port})
        for c in (first, refused, other, over):
            c.close()
        self.assertEqual(s.stop(), 0)
        self.assertEqual(s.log()[-1].name, "stop")


class LevelLog(OwnLogServers):

    def test_a_higher_level_leaves_the_lower_lines_out(self):
        s = self.server(args=["--log-level", "warning"]).start()
        c = Client(s.port)
        c.login("alice")
        c.request(b"QUIT")
        c.close()
        self.assertEqual(s.stop(), 0)
        self.assertEqual(s.log(), [], "a session and a start at info level log nothing here")


class CloseReasonLog(OwnLogServers):
    """What the layer decides by itself reaches the log too."""

    def test_every_close_says_why(self):
        # More than the socket buffers hold, so that a reply nobody reads backs up.
        make_user(self.root, "bob", {"1": b"x" * 100 + b"\r\n" * (8 * 1024 * 1024)})
        s = self.server(args=["--idle-timeout", "2", "--tls-self-signed",
                              "--pop3s-port", "0"]).start()
        expected = {}  # client port: reason
        idle = Client(s.port)
        stalled = Client(s.port)
        self.addCleanup(stalled.close)
        stalled.login("bob")
        stalled.send(b"RETR 1\r\n")  # and nothing of it read
        expected[stalled.local_port] = b"stalled-output"
        handshake = socket.create_connection((HOST, s.tls_port), timeout=30)  # and silence
        self.addCleanup(handshake.close)
        expected[handshake.getsockname()[1]] = b"tls-handshake-timeout"
        long_line = Client(s.port)
        long_line.send(b"x" * (70 * 1024))
        self.assertEqual(long_line.read_line(), b"-ERR line too long\r\n")
        long_line.close()
        expected[long_line.local_port] = b"overlong-line"
        reset = Client(s.port)
        reset.login("alice")
        reset.abort()
        expected[reset.local_port] = b"reset"
        with socket.create_connection((HOST, s.tls_port), timeout=30) as garbage:
            garbage.sendall(b"GET / HTTP/1.0\r\n\r\n")
            garbage.settimeout(30)
            while garbage.recv(4096):
                pass
            expected[garbage.getsockname()[1]] = b"tls-failure"
        encrypted = poplib.POP3_SSL(HOST, s.tls_port, context=unverified(), timeout=30)
        expected[encrypted.sock.getsockname()[1]] = b"peer-closed"
        encrypted.user("alice")
        encrypted.pass_("alice")
        encrypted.quit()
        idle.read_to_eof()  # the idle timeout
        idle.close()
        expected[idle.local_port] = b"idle"
        s.wait_for_log("close", count=len(expected))
        got = {int(e["client"].split(b":")[1]): e["reason"] for e in s.log("close")}
        self.assertEqual(got, expected)
        login = s.log("login", tls="yes")
        self.assertEqual(len(login), 1, s.log())
        self.assertEqual(s.log("accept", conn=login[0]["conn"])[0]["listener"], b"pop3s")


class SecretsLog(OwnLogServers):

    def setUp(self):
        super().setUp()
        self.passwords = os.path.join(self.base, "passwords")
        write_file(self.passwords, b"alice:" + openssl_hash("s3cret-Word") + b"\n")
        os.chmod(self.passwords, 0o600)  # else a warning, which is no log line, says so

    def test_no_secret_and_one_line_for_logins_refused_in_clear(self):
        s = self.server(args=["--passwords", self.passwords, "--require-tls",
                              "--tls-self-signed", "--pop3s-port", "0"]).start()
        clear = Client(s.port)
        for _ in range(3):
            clear.expect(b"USER alice", b"-ERR TLS required\r\n")
        clear.close()
        refused = s.wait_for_log("login-refused")
        self.assertEqual((refused[0]["reason"], refused[0]["client"]),
                         (b"tls-required", client_of(clear).encode()))
        for user, password in (("alice", "s3cret-Wrong"), ("carol", "s3cret-Word")):
            c = poplib.POP3_SSL(HOST, s.tls_port, context=unverified(), timeout=30)
            c.user(user)
            with self.assertRaises(poplib.error_proto):
                c.pass_(password)
            c.quit()
        c = poplib.POP3_SSL(HOST, s.tls_port, context=unverified(), timeout=30)
        c.user("alice")
        c.pass_("s3cret-Word")
        c.quit()
        s.wait_for_log("close", count=4)
        self.assertEqual([(e["user"], e["reason"], e["tls"]) for e in s.log("login-failed")],
                         [(b"alice", b"wrong-password", b"yes"),
                          (b"carol", b"unknown-user", b"yes")])
        self.assertEqual(len(s.log("login", user="alice", tls="yes")), 1)
        self.assertEqual(len(s.log("login-refused")), 1)
        self.assertNotIn(b"s3cret", s.stderr())


@unittest.skipUnless(shutil.which("Xvfb"), "Xvfb not installed (scripts/install-deps.sh)")
class WindowLog(OwnLogServers):
    """With a window, Qt has more to say (runtime folder, fonts, platform): none of it shows."""

    def test_a_windowed_run_prints_only_log_lines(self):
        # Xvfb picks a free display itself and writes its number: two runs at once never
        # share one.
        read_end, write_end = os.pipe()
        xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-nolisten", "tcp"],
                                pass_fds=(write_end,), stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        os.close(write_end)
        try:
            with os.fdopen(read_end) as shown:
                number = int(shown.readline() or -1)
            self.assertGreaterEqual(number, 0, "Xvfb gave no display")
            s = self.server(env={"QT_QPA_PLATFORM": None, "WAYLAND_DISPLAY": None,
                                 "DISPLAY": ":%d" % number, "XDG_RUNTIME_DIR": None}).start()
            with s.connect() as c:
                c.login("alice")
            s.wait_for_log("close")
            self.assertEqual(s.stop(), 0)
            self.assertEqual([e.name for e in s.log()],
                             ["start", "listen", "accept", "login", "logout", "close", "stop"])
        finally:
            xvfb.terminate()  # so that it removes its socket and lock file
            try:
                xvfb.wait(30)
            except subprocess.TimeoutExpired:
                xvfb.kill()
                xvfb.wait(30)


@unittest.skipUnless(FAIL2BAN_REGEX and FAIL2BAN_CLIENT,
                     "fail2ban not installed (scripts/install-deps.sh)")
class Fail2Ban(OwnLogServers):
    """The packaged filter and jail, run by fail2ban itself over a log this server wrote."""

    def setUp(self):
        super().setUp()
        # fail2ban's own configuration, with the package's two files where it installs them.
        self.config = os.path.join(self.base, "fail2ban")
        shutil.copytree("/etc/fail2ban", self.config)
        shutil.rmtree(os.path.join(self.config, "jail.d"))  # Debian's enables sshd's jail
        os.mkdir(os.path.join(self.config, "jail.d"))
        for name in ("filter", "jail"):
            shutil.copy(os.path.join(REPO, "packaging", "fail2ban", name + ".conf"),
                        os.path.join(self.config, name + ".d", "drennik.conf"))
        self.filter = os.path.join(self.config, "filter.d", "drennik.conf")

    def regex(self, log, out):
        got = subprocess.run([FAIL2BAN_REGEX, "-o", out, log, self.filter],
                             capture_output=True, timeout=120)
        self.assertEqual(got.returncode, 0, got.stderr)
        return got.stdout.splitlines()

    def test_the_filter_finds_exactly_the_failed_logins(self):
        s = self.server().start()
        c = Client(s.port)
        c.expect(b"USER alice", b"+OK\r\n")
        c.expect(b"PASS wrong", LOGIN_FAILED)
        c.expect(b"USER " + FORGING_NAME, b"+OK\r\n")
        c.expect(b"PASS x", LOGIN_FAILED)
        # A CR LF inside ends the request: what follows is a command of its own, not logged.
        c.expect(b"USER q\r\ndrennik: event=login-failed conn=9 client=10.8.8.8:1 x",
                 b"+OK\r\n")
        self.assertEqual(c.read_line(), b"-ERR DREN not supported\r\n")
        c.expect(b"PASS q\x7f", LOGIN_FAILED)
        c.close()
        ok = Client(s.port, source="127.0.0.2")
        ok.login("alice")
        ok.expect(b"QUIT", b"+OK \r\n")
        ok.close()
        s.wait_for_log("close", count=2)
        failed = s.log("login-failed")
        self.assertEqual(len(failed), 3, failed)
        log = os.path.join(self.base, "stderr.log")
        write_file(log, s.stderr())
        # The journal's form of the same lines: host, identifier and pid before each.
        journal = os.path.join(self.base, "journal.log")
        write_file(journal, b"".join(b"mailhost drennik[%d]: %s\n" % (s.pid, line)
                                     for line in s.stderr().splitlines()))
        for source in (log, journal):
            with self.subTest(source=source):
                self.assertEqual(self.regex(source, "ip"), [b"127.0.0.1"] * 3)
                self.assertEqual([m[-len(e.line):] for m, e in
                                  zip(self.regex(source, "msg"), failed)],
                                 [e.line for e in failed])

        # The jail as packaged: off, over the service's journal; fail2ban accepts it enabled.
        jail = configparser.ConfigParser(interpolation=None)
        jail.read(os.path.join(self.config, "jail.d", "drennik.conf"))
        self.assertEqual({k: jail["drennik"][k] for k in ("enabled", "backend", "journalmatch",
                                                          "filter")},
                         {"enabled": "false", "backend": "systemd",
                          "journalmatch": "_SYSTEMD_UNIT=drennik.service", "filter": "drennik"})
        write_file(os.path.join(self.config, "jail.d", "drennik.local"),
                   b"[drennik]\nenabled = true\n")
        test = subprocess.run([FAIL2BAN_CLIENT, "-c", self.config, "-t"],
                              capture_output=True, timeout=120)
        self.assertEqual(test.returncode, 0, test.stdout + test.stderr)


if __name__ == "__main__":
    unittest.main()
