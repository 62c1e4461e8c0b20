"""The trace file (--trace-file) and SIGHUP: the file reopened after a rename, and the
settings a reload may change read again without closing a connection: a new certificate, new
passwords, limits and the log level; anything that cannot be used keeps every old setting."""

import hashlib
import os
import poplib
import re
import signal
import socket
import ssl
import stat

import server_case
from drennik import (Client, make_root, make_user, retr_reply, rmtree, run_once, wait_until,
                     write_file)
from drennik.real_clients import crypt_hash
from test_tls import make_certificate

SMALL = b"Subject: hi\r\n\r\nhello\r\n"
# Far more than the ring keeps, and long enough to leave by sendfile.
BIG = b"".join(b"line %d\r\n" % i for i in range(20000))


def unverified():
    context = ssl.create_default_context()
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    return context


def fingerprint(sock):
    digest = hashlib.sha256(sock.getpeercert(binary_form=True)).digest()
    return ":".join("%02X" % b for b in digest).encode()


def read(path):
    with open(path, "rb") as f:
        return f.read()


class ReloadCase(server_case.OwnServersTestCase):

    def setUp(self):
        super().setUp()
        self.base = make_root()
        self.root = os.path.join(self.base, "root")
        os.mkdir(self.root, 0o755)
        make_user(self.root, "alice", {"1": SMALL, "2": BIG})
        self.conf = os.path.join(self.base, "drennik.conf")

    def tearDown(self):
        super().tearDown()
        rmtree(self.base)

    def private(self, name, data):
        path = os.path.join(self.base, name)
        write_file(path, data)
        os.chmod(path, 0o600)  # else a warning says others can read it
        return path

    def reload(self, s, conf=None, event="reload", count=1):
        """Writes the configuration file if given, sends SIGHUP and waits for the count-th
        line of `event`."""
        if conf is not None:
            write_file(self.conf, conf.encode())
        os.kill(s.pid, signal.SIGHUP)
        return s.wait_for_log(event, count=count)[-1]


class TraceFile(ReloadCase):

    def test_every_entry_masked_private_and_reopened_after_a_rename(self):
        trace = os.path.join(self.base, "trace.log")
        passwords = self.private("passwords", b"alice:" + crypt_hash("s3cret") + b"\n")
        s = self.server(args=["--passwords", passwords, "--trace-file", trace]).start()
        with Client(s.port) as c:
            c.login("alice", "s3cret")
            self.assertEqual(c.request(b"RETR 2", multi=True), retr_reply(BIG))
            c.expect(b"QUIT", b"+OK \r\n")
        closed = lambda path: os.path.exists(path) and read(path).endswith(b">closed<\r\n")
        wait_until(lambda: closed(trace), what="the session in the trace file")
        first = read(trace)
        self.assertEqual(stat.S_IMODE(os.stat(trace).st_mode), 0o600)
        self.assertIn(b" >PASS ****<\r\n", first)
        self.assertNotIn(b"s3cret", first)
        prefix = re.search(rb"\[\d+-->\](?= >line 0<)", first).group()
        self.assertIn(b"".join(b"%s >%s<\r\n" % (prefix, line) for line in BIG.splitlines()),
                      first, "every line of the message, far more than the ring keeps")

        # Rotated: renamed, then SIGHUP; the server makes a new file and writes only there.
        os.rename(trace, trace + ".1")
        self.reload(s)
        self.assertEqual(stat.S_IMODE(os.stat(trace).st_mode), 0o600)
        with Client(s.port) as c:
            c.expect(b"USER alice", b"+OK\r\n")
            c.expect(b"QUIT", b"+OK \r\n")
        wait_until(lambda: closed(trace), what="the next session in the new file")
        self.assertTrue(read(trace).startswith(b"[") and b" >+OK Drennik here<" in read(trace))
        self.assertEqual(read(trace + ".1"), first)

        # A new file that cannot be made: the old one stays in use, and the log says why.
        os.rename(trace, trace + ".2")
        os.mkdir(trace)
        error = self.reload(s, event="trace-file-error")
        self.assertEqual((error["file"], error["op"]), (trace.encode(), b"open"))
        with Client(s.port) as c:
            c.request(b"NOOP")
        wait_until(lambda: b" >NOOP<" in read(trace + ".2"), what="the old file kept in use")

    def test_a_trace_file_that_cannot_be_opened_stops_the_start_and_the_check(self):
        link = os.path.join(self.base, "link")
        os.symlink(os.path.join(self.base, "elsewhere"), link)
        missing = os.path.join(self.base, "no-such-folder", "trace")
        stay = ["--user", "root"] if os.geteuid() == 0 else []
        for path, reason in ((link, b"it is a symbolic link"),
                             (missing, b"No such file or directory")):
            for check in ([], ["--check"]):
                with self.subTest(path=path, check=check):
                    rc, out, err = run_once(check + stay + ["--port", "0", "--root", self.root,
                                                            "--trace-file", path])
                    self.assertEqual(rc, 2, err)
                    self.assertIn(b"drennik: cannot open the trace file " + path.encode(), err)
                    self.assertIn(reason, err)
        self.assertFalse(os.path.lexists(os.path.join(self.base, "elsewhere")))


class Reload(ReloadCase):

    def test_certificates_new_connections_get_the_new_one_open_ones_keep_theirs(self):
        a_cert, a_key = make_certificate(self.base, "a")
        b_cert, b_key = make_certificate(self.base, "b")
        tls = "tls-cert = %s\ntls-key = %s\n"
        write_file(self.conf, (tls % (a_cert, a_key)).encode())
        s = self.server(args=["--config", self.conf, "--pop3s-port", "0"]).start()
        plain = Client(s.port)
        plain.login("alice")
        before = poplib.POP3_SSL("127.0.0.1", s.tls_port, context=unverified(), timeout=30)
        a = fingerprint(before.sock)

        def served_fingerprints():
            implicit = poplib.POP3_SSL("127.0.0.1", s.tls_port, context=unverified(),
                                       timeout=30)
            starttls = poplib.POP3("127.0.0.1", s.port, timeout=30)
            starttls.stls(unverified())
            got = {fingerprint(implicit.sock), fingerprint(starttls.sock)}
            implicit.quit()
            starttls.quit()
            return got

        done = self.reload(s, tls % (b_cert, b_key))
        b = done["fingerprint"]
        self.assertNotEqual(a, b)
        self.assertEqual((done["changed"], done["tls"]), (b"tls-cert,tls-key", b"yes"))
        self.assertEqual(served_fingerprints(), {b})
        before.user("alice")
        before.pass_("alice")
        self.assertEqual(before.stat(), (2, len(SMALL) + len(BIG)))
        self.assertEqual(fingerprint(before.sock), a)

        # What cannot be used keeps everything as it was, the limit beside it too: a
        # certificate broken in place, a bad line. A setting that needs a restart is only named.
        write_file(b_cert, b"-----BEGIN CERTIFICATE-----\nbroken\n-----END CERTIFICATE-----\n")
        limited = tls % (b_cert, b_key) + "max-per-address = 1\n"
        failed = self.reload(s, limited, event="reload-failed")
        self.assertIn(b_cert.encode(), failed["reason"])
        os.remove(b_cert)
        b_cert, b_key = make_certificate(self.base, "b")  # the same names, a new certificate
        self.assertEqual(served_fingerprints(), {b})
        failed = self.reload(s, limited + "bogus = 1\n", event="reload-failed", count=2)
        self.assertEqual(failed["reason"],
                         b"%s line 4: unknown option: bogus" % self.conf.encode())
        self.assertEqual(served_fingerprints(), {b}, "nothing of it taken, the limit neither")
        c = self.reload(s, tls % (b_cert, b_key) + "listen = 127.0.0.1\n", count=2)
        self.assertEqual(c["changed"], b"none")
        self.assertNotEqual(c["fingerprint"], b)
        self.assertEqual(s.log("restart-needed")[0]["options"], b"listen")
        self.assertEqual(served_fingerprints(), {c["fingerprint"]})

        # Connections opened before every reload still work, each with its own certificate.
        self.assertEqual(before.retr(1)[1], SMALL.split(b"\r\n")[:-1])
        before.quit()
        plain.expect(b"NOOP", b"+OK\r\n")
        plain.close()

    def test_passwords_limits_and_level_apply_to_what_comes_next(self):
        passwords = self.private("passwords", b"alice:" + crypt_hash("old") + b"\n")
        write_file(self.conf, b"passwords = %s\n" % passwords.encode())
        s = self.server(args=["--config", self.conf]).start()
        first = Client(s.port)
        first.login("alice", "old")

        self.private("passwords", b"# changed\nalice:" + crypt_hash("new") + b"\n")
        done = self.reload(s, "passwords = %s\nmax-per-address = 2\n" % passwords)
        self.assertEqual(done["changed"], b"max-per-address")
        with Client(s.port) as c:
            c.expect(b"USER alice", b"+OK\r\n")
            c.expect(b"PASS old", b"-ERR\r\n")
            c.login("alice", "new")
            with Client(s.port, greet=False) as over:
                self.assertEqual(over.read_to_eof(), b"-ERR too many connections\r\n")
        s.wait_for_log("close")  # so that it no longer counts

        # A passwords file without an entry is refused; the last good one stays.
        self.private("passwords", b"# nobody yet\n")
        failed = self.reload(s, event="reload-failed")
        self.assertEqual(failed["reason"],
                         b"the passwords file %s has no user:hash entry" % passwords.encode())
        with Client(s.port) as c:
            c.login("alice", "new")

        # The log level at once: the reload's own line is info, and so is a login.
        self.private("passwords", b"alice:" + crypt_hash("new") + b"\n")
        self.reload(s, "passwords = %s\nlog-level = warning\nlisten = 127.0.0.1\n" % passwords,
                    event="restart-needed")
        with Client(s.port) as c:
            c.login("alice", "new")
        with Client(s.port) as c:
            c.expect(b"USER alice", b"+OK\r\n")
            c.expect(b"PASS old", b"-ERR\r\n")
        s.wait_for_log("login-failed", count=2)
        first.expect(b"NOOP", b"+OK\r\n")
        first.close()
        self.assertEqual(s.stop(), 0)
        infos = [e.name for e in s.log() if e.name in ("login", "reload")]
        self.assertEqual(infos, ["login", "reload", "login", "login"],
                         "nothing of level info once the level is warning")
