"""The trace file (--trace-file) and SIGHUP: the file reopened after a rename, and what a
reload may change read again without closing a connection; what cannot be used keeps every
old setting."""

import hashlib
import os
import poplib
import re
import signal
import ssl
import stat

import server_case
from drennik import (LOGIN_FAILED, Client, make_root, make_user, retr_reply, rmtree, run_once,
                     wait_until, write_file)
from drennik.real_clients import crypt_hash
from test_tls import make_certificate

SMALL = b"Subject: hi\r\n\r\nhello\r\n"
# Far more than the ring keeps, and long enough to leave by sendfile.
BIG = b"".join(b"line %d\r\n" % i for i in range(20000))


def read(path):
    with open(path, "rb") as f:
        return f.read()


class Reload(server_case.OwnServersTestCase):

    def setUp(self):
        super().setUp()
        self.base = make_root()
        self.root = os.path.join(self.base, "root")
        make_user(self.root, "alice", {"1": SMALL, "2": BIG})
        self.conf = os.path.join(self.base, "drennik.conf")
        self.passwords = os.path.join(self.base, "passwords")
        self.addCleanup(rmtree, self.base)

    def set_passwords(self, text):
        write_file(self.passwords, text)
        os.chmod(self.passwords, 0o600)  # else a warning says others can read it

    def reload(self, s, conf=None, event="reload", count=1):
        """SIGHUP, after writing the configuration file if given; the count-th `event` line."""
        if conf is not None:
            write_file(self.conf, conf.encode())
        os.kill(s.pid, signal.SIGHUP)
        return s.wait_for_log(event, count=count)[-1]

    def test_the_trace_file_has_every_entry_masked_and_is_made_anew_after_a_rename(self):
        trace = os.path.join(self.base, "trace.log")
        self.set_passwords(b"alice:" + crypt_hash("s3cret") + b"\n")
        s = self.server(args=["--passwords", self.passwords, "--trace-file", trace]).start()
        closed = lambda: os.path.exists(trace) and read(trace).endswith(b">closed<\r\n")
        with Client(s.port) as c:
            c.login("alice", "s3cret")
            self.assertEqual(c.request(b"RETR 2", multi=True), retr_reply(BIG))
        wait_until(closed, what="the session in the trace file")
        first = read(trace)
        self.assertEqual(stat.S_IMODE(os.stat(trace).st_mode), 0o600)
        self.assertIn(b" >PASS ****<\r\n", first)
        self.assertNotIn(b"s3cret", first)
        prefix = re.search(rb"\[\d+-->\](?= >line 0<)", first).group()
        self.assertIn(b"".join(b"%s >%s<\r\n" % (prefix, line) for line in BIG.splitlines()),
                      first)

        # Rotated: renamed, then SIGHUP. The server makes a new file and writes only there;
        # one it cannot make leaves the old file in use, and the log says why.
        os.rename(trace, trace + ".1")
        self.reload(s)
        self.assertEqual(stat.S_IMODE(os.stat(trace).st_mode), 0o600)
        with Client(s.port) as c:
            c.expect(b"USER alice", b"+OK\r\n")
        wait_until(closed, what="the next session in the new file")
        self.assertTrue(read(trace).startswith(b"[") and b" >USER alice<" in read(trace))
        self.assertEqual(read(trace + ".1"), first)
        os.rename(trace, trace + ".2")
        os.mkdir(trace)
        error = self.reload(s, event="trace-file-error")
        self.assertEqual((error["file"], error["op"]), (trace.encode(), b"open"))
        with Client(s.port) as c:
            c.request(b"NOOP")
        wait_until(lambda: b" >NOOP<" in read(trace + ".2"), what="the old file kept in use")

        # A link at the name stops a start, and a check, before anything is written.
        os.rmdir(trace)
        os.symlink(trace + ".1", trace)
        stay = ["--user", "root"] if os.geteuid() == 0 else []
        for check in ([], ["--check"]):
            rc, _, err = run_once(check + stay + ["--port", "0", "--root", self.root,
                                                  "--trace-file", trace])
            self.assertEqual((rc, err), (2, b"drennik: cannot open the trace file %s: it is a "
                                            b"symbolic link\n" % trace.encode()))
        self.assertEqual(read(trace + ".1"), first)

    def test_certificates_new_connections_get_the_new_one_open_ones_keep_theirs(self):
        tls = "tls-cert = %s\ntls-key = %s\n"
        a, b = (tls % make_certificate(self.base, name) for name in ("a", "b"))
        write_file(self.conf, a.encode())
        s = self.server(args=["--config", self.conf, "--pop3s-port", "0"]).start()
        plain = Client(s.port)
        plain.login("alice")
        context = ssl.create_default_context()
        context.check_hostname = False
        context.verify_mode = ssl.CERT_NONE

        def fingerprint(pop):
            der = pop.sock.getpeercert(binary_form=True)
            return ":".join("%02X" % x for x in hashlib.sha256(der).digest()).encode()

        def served():  # over STLS and on the TLS port
            pops = [poplib.POP3_SSL("127.0.0.1", s.tls_port, context=context, timeout=30),
                    poplib.POP3("127.0.0.1", s.port, timeout=30)]
            pops[1].stls(context)
            got = {fingerprint(pop) for pop in pops}
            for pop in pops:
                pop.quit()
            return got

        before = poplib.POP3_SSL("127.0.0.1", s.tls_port, context=context, timeout=30)
        done = self.reload(s, b)
        self.assertEqual((done["changed"], done["tls"]), (b"tls-cert,tls-key", b"yes"))
        self.assertNotEqual(fingerprint(before), done["fingerprint"])
        self.assertEqual(served(), {done["fingerprint"]})

        # A certificate broken in place, or a bad line, keeps everything as it was, the
        # limit beside it too (served() holds three connections at once).
        b_cert = b.split()[2]
        write_file(b_cert, b"-----BEGIN CERTIFICATE-----\nbroken\n-----END CERTIFICATE-----\n")
        failed = self.reload(s, b + "max-per-address = 1\n", event="reload-failed")
        self.assertIn(b_cert.encode(), failed["reason"])
        failed = self.reload(s, a + "max-per-address = 1\nbogus = 1\n", event="reload-failed",
                             count=2)
        self.assertEqual(failed["reason"], b"%s line 4: unknown option: bogus" % self.conf.encode())
        self.assertEqual(served(), {done["fingerprint"]})
        # What needs a restart is named and left as it was.
        again = self.reload(s, a + "listen = 127.0.0.1\n", count=2)
        self.assertEqual(s.log("restart-needed")[0]["options"], b"listen")
        self.assertEqual(served(), {again["fingerprint"]})

        before.user("alice")
        before.pass_("alice")
        self.assertEqual(before.retr(1)[1], SMALL.split(b"\r\n")[:-1])
        before.quit()
        plain.expect(b"NOOP", b"+OK\r\n")
        plain.close()

    def test_new_passwords_for_new_logins_unless_the_file_cannot_decide(self):
        self.set_passwords(b"alice:" + crypt_hash("old") + b"\n")
        write_file(self.conf, b"passwords = %s\n" % self.passwords.encode())
        s = self.server(args=["--config", self.conf]).start()
        first = Client(s.port)
        first.login("alice", "old")
        for text, password, wrong in ((b"alice:" + crypt_hash("new") + b"\n", "new", "old"),
                                      (b"# nobody yet\n", "new", None)):
            self.set_passwords(text)
            if wrong is None:
                failed = self.reload(s, event="reload-failed")
                self.assertEqual(failed["reason"], b"the passwords file %s has no user:hash "
                                 b"entry" % self.passwords.encode())
            else:
                self.assertEqual(self.reload(s)["changed"], b"none")
            with Client(s.port) as c:
                if wrong:
                    c.expect(b"USER alice", b"+OK\r\n")
                    c.expect(b"PASS " + wrong.encode(), LOGIN_FAILED)
                c.login("alice", password)
        first.expect(b"NOOP", b"+OK\r\n")
        first.close()
