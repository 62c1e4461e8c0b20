"""Mail in by LMTP and SMTP: per-recipient replies, pipelining, dot-stuffing, size limits,
STARTTLS, AUTH and relay refusal, each stored message then fetched over POP3."""

import os
import shutil
import poplib
import re
import smtplib
import socket
import ssl
import subprocess
import unittest

from server_case import ServerTestCase
from drennik import DEADLINE, HOST, Server, read_file, retr_reply, write_file

LMTP_RE = re.compile(rb"listening on LMTP port (\d+)")
SMTP_RE = re.compile(rb"listening on SMTP port (\d+)")
MAX_SIZE = 100000


def unverified():
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    return context


def exchange(port, data, replies):
    """Sends `data` in one write and reads until `replies` reply lines (final ones, not
    "250-" continuations) have come, the greeting included: the lines read."""
    with socket.create_connection((HOST, port), timeout=DEADLINE) as s:
        s.sendall(data)
        got = b""
        while sum(1 for line in got.split(b"\r\n") if line[3:4] == b" ") < replies:
            chunk = s.recv(65536)
            if not chunk:
                break
            got += chunk
        return got.decode("latin-1").split("\r\n")[:-1]


class DeliveryCase(ServerTestCase):

    def messages(self, user):
        folder = self.user_dir(user)
        names = sorted(n for n in os.listdir(folder))
        return [read_file(os.path.join(folder, n)) for n in names]

    def assert_served(self, user, messages, password=None):
        """Stored as sent, and served so over POP3."""
        self.assertEqual(self.messages(user), messages)
        c = self.connect()
        c.login(user, password)
        for number, message in enumerate(messages, 1):
            self.assertEqual(c.request(b"RETR %d" % number, multi=True), retr_reply(message))
        c.sync()


class Delivery(DeliveryCase):

    server_args = ("--lmtp-port", "0", "--smtp-port", "0", "--domains", "Mail.Test,other.test",
                   "--max-message-size", str(MAX_SIZE), "--tls-self-signed")

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.lmtp_port = cls.server.wait_listening(pattern=LMTP_RE)
        cls.smtp_port = cls.server.wait_listening(pattern=SMTP_RE)

    def test_pipelined_lmtp_answers_each_recipient_and_stores_exactly(self):
        bob, ann = self.new_user(), self.new_user()
        body = b"Subject: x\r\n\r\n..stuffed\r\n...\r\nbare\nLF\r\n8-bit \xe9 NUL \x00\r\n"
        stored = b"Subject: x\r\n\r\n.stuffed\r\n..\r\nbare\nLF\r\n8-bit \xe9 NUL \x00\r\n"
        session = (b"LHLO c\r\nMAIL FROM:<a@b> SIZE=%d\r\nRCPT TO:<%s@x>\r\nRCPT TO:<nobody@x>\r\n"
                   b"RCPT TO:<%s@x>\r\nDATA\r\n%s.\r\n"
                   b"MAIL FROM:<a@b>\r\nRCPT TO:<%s@x>\r\nDATA\r\nsecond\r\n.\r\nQUIT\r\n"
                   % (len(body), bob.encode(), ann.encode(), body, bob.encode()))
        lines = exchange(self.lmtp_port, session, 14)
        self.assertEqual(lines[0][:4], "220 ")
        self.assertIn("250-PIPELINING", lines)
        self.assertIn("250-SIZE %d" % MAX_SIZE, lines)
        self.assertIn("250 STARTTLS", lines)
        self.assertEqual(lines[lines.index("250 STARTTLS") + 1:], [
            "250 2.1.0 Sender OK", "250 2.1.5 Recipient OK", "550 5.1.1 No such user here",
            "250 2.1.5 Recipient OK", "354 Start mail input; end with <CRLF>.<CRLF>",
            "250 2.0.0 Delivered", "250 2.0.0 Delivered",
            "250 2.1.0 Sender OK", "250 2.1.5 Recipient OK",
            "354 Start mail input; end with <CRLF>.<CRLF>", "250 2.0.0 Delivered",
            "221 2.0.0 Bye"])
        self.assert_served(bob, [stored, b"second\r\n"])
        self.assert_served(ann, [stored])
        self.server.wait_for_log("deliver", user=ann, size=str(len(stored)))

    def test_lmtp_client_size_limits_and_starttls(self):
        bob, ann = self.new_user(), self.new_user()
        with smtplib.LMTP(HOST, self.lmtp_port, timeout=DEADLINE) as c:
            c.ehlo("client")
            self.assertEqual(c.esmtp_features["size"], str(MAX_SIZE))
            # Announced too big: refused before any data.
            self.assertEqual(c.mail("a@b", ["SIZE=%d" % (MAX_SIZE + 1)])[0], 552)
            # Sent too big without SIZE: read to the end, refused per recipient, not kept.
            self.assertEqual(c.mail("a@b")[0], 250)
            self.assertEqual(c.rcpt(bob)[0], 250)
            self.assertEqual(c.rcpt(ann)[0], 250)
            self.assertEqual(c.data((b"x" * 998 + b"\r\n") * (MAX_SIZE // 1000 + 1))[0], 552)
            self.assertEqual(c.getreply(), (552, b"5.3.4 Message size exceeds fixed limit"))
            self.assertEqual(c.noop()[0], 250)
            # Exactly at the limit it is taken, over TLS.
            self.assertEqual(c.starttls(context=unverified())[0], 220)
            c.ehlo("client")
            self.assertNotIn("starttls", c.esmtp_features)
            exact = (b"y" * 998 + b"\r\n") * (MAX_SIZE // 1000)
            self.assertEqual(c.sendmail("a@b", [bob], exact), {})
        self.assert_served(bob, [exact])
        self.assertEqual(self.messages(ann), [])

    def test_smtp_answers_once_offers_auth_and_relays_nothing(self):
        bob, ann = self.new_user(), self.new_user()
        with smtplib.SMTP(HOST, self.smtp_port, timeout=DEADLINE) as c:
            c.ehlo("client")
            self.assertIn("PLAIN", c.esmtp_features["auth"])
            with self.assertRaises(smtplib.SMTPAuthenticationError):
                c.login(bob, "wrong")
            c.login(bob, bob)  # without a passwords file the password is the user name
            refused = c.sendmail("a@b", ["%s@mail.test" % bob, "%s@OTHER.test" % ann,
                                         "%s@elsewhere.example" % ann, "nobody@mail.test"],
                                 b"Subject: s\r\n\r\none reply\r\n")
            self.assertEqual(refused, {
                "%s@elsewhere.example" % ann: (550, b"5.7.1 Relaying denied"),
                "nobody@mail.test": (550, b"5.1.1 No such user here")})
            with self.assertRaises(smtplib.SMTPRecipientsRefused):
                c.sendmail("a@b", ["%s@elsewhere.example" % bob], b"x\r\n")
        self.assert_served(ann, [b"Subject: s\r\n\r\none reply\r\n"])
        p = poplib.POP3(HOST, self.server.port, timeout=DEADLINE)
        try:
            p.user(bob)
            p.pass_(bob)
            self.assertEqual(p.retr(1)[1], [b"Subject: s", b"", b"one reply"])
        finally:
            p.quit()
        self.server.wait_for_log("deliver-refused", reason="relaying")

    def test_without_the_maildrop_root_mail_is_deferred(self):
        missing = os.path.join(self.base, "no-root")
        with Server(missing, args=["--lmtp-port", "0"]) as server:
            port = server.wait_listening(pattern=LMTP_RE)
            lines = exchange(port, b"LHLO c\r\nMAIL FROM:<a@b>\r\nRCPT TO:<bob@x>\r\nQUIT\r\n", 5)
            self.assertEqual(lines[-3:], ["250 2.1.0 Sender OK",
                                          "451 4.3.0 Cannot look up the recipient now",
                                          "221 2.0.0 Bye"])


class LocalSocket(DeliveryCase):

    @classmethod
    def prepare_class_root(cls):
        cls.socket_path = os.path.join(cls.base, "lmtp.sock")
        # A socket left by an earlier run is replaced.
        stale = socket.socket(socket.AF_UNIX)
        stale.bind(cls.socket_path)
        stale.close()
        cls.server_args = ("--lmtp-socket", cls.socket_path, "--lmtp-socket-mode", "0640",
                           "--lmtp-socket-group", "0", "--tls-self-signed")

    def test_lmtp_over_a_local_socket(self):
        status = os.stat(self.socket_path)
        self.assertEqual(status.st_mode & 0o777, 0o640)
        self.assertEqual(status.st_gid, 0)
        self.assertIn(b"listening on LMTP socket " + self.socket_path.encode(),
                      self.server.stdout())
        bob = self.new_user()
        with smtplib.LMTP(self.socket_path, timeout=DEADLINE) as c:
            c.ehlo("client")
            self.assertNotIn("starttls", c.esmtp_features)  # nothing to protect locally
            self.assertEqual(c.sendmail("a@b", [bob], b"local\r\n"), {})
        self.assert_served(bob, [b"local\r\n"])
        self.server.wait_for_log("accept", listener="lmtp-local")


class RealPasswordsAndSwaks(DeliveryCase):

    @classmethod
    def prepare_class_root(cls):
        cls.passwords = os.path.join(cls.base, "passwords")
        hashed = subprocess.run(["openssl", "passwd", "-6", "s3cret"], check=True,
                                capture_output=True).stdout.strip()
        write_file(cls.passwords, b"alice:" + hashed + b"\n")
        cls.trace = os.path.join(cls.base, "trace")
        cls.server_args = ("--lmtp-port", "0", "--smtp-port", "0", "--passwords", cls.passwords,
                           "--trace-file", cls.trace, "--tls-self-signed")

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.lmtp_port = cls.server.wait_listening(pattern=LMTP_RE)
        cls.smtp_port = cls.server.wait_listening(pattern=SMTP_RE)

    def swaks(self, *args):
        proc = subprocess.run(["swaks", "--server", HOST, "--from", "a@b", "--helo", "client",
                               "--silent", "2"] + list(args), capture_output=True,
                              timeout=DEADLINE)
        return proc.returncode, proc.stdout + proc.stderr

    def test_swaks_by_lmtp_and_by_smtp_with_a_checked_password(self):
        bob = "alice"  # the one user with a password; the other test of the class writes to her
        os.makedirs(self.user_dir(bob), exist_ok=True)
        before = len(self.messages(bob))
        code, out = self.swaks("--port", str(self.lmtp_port), "--protocol", "LMTP",
                               "--to", "%s@x,nobody@x" % bob, "--body", "by lmtp")
        self.assertIn(b"550 5.1.1", out)
        code, out = self.swaks("--port", str(self.smtp_port), "--to", "%s@x" % bob,
                               "--auth", "PLAIN", "--auth-user", "alice",
                               "--auth-password", "wrong")
        self.assertNotEqual(code, 0)
        self.assertIn(b"535 5.7.8", out)
        for mechanism in ("PLAIN", "LOGIN"):
            code, out = self.swaks("--port", str(self.smtp_port), "--to", "%s@x" % bob,
                                   "--auth", mechanism, "--auth-user", "alice",
                                   "--auth-password", "s3cret", "--body", "by smtp")
            self.assertEqual(code, 0, out)
        stored = self.messages(bob)[before:]
        self.assertEqual(len(stored), 3)
        self.assertTrue(b"\r\n\r\nby lmtp\r\n" in stored[0], stored[0])
        self.assertTrue(b"\r\n\r\nby smtp\r\n" in stored[2], stored[2])
        self.assert_served(bob, self.messages(bob), b"s3cret")
        # The trace has every line, the message's too, but no password.
        trace = read_file(self.trace)
        self.assertIn(b"by lmtp", trace)
        self.assertNotIn(b"s3cret", trace)
        self.assertNotIn(b"czNjcmV0", trace)  # base64 of it, as LOGIN sends it

    @unittest.skipUnless(shutil.which("msmtp"), "msmtp not installed (scripts/install-deps.sh)")
    def test_msmtp_sends_over_starttls_with_a_login(self):
        carol = "alice"
        os.makedirs(self.user_dir(carol), exist_ok=True)
        before = len(self.messages(carol))
        message = b"Subject: by msmtp\n\nfirst\n.dotted\nlast\n"
        proc = subprocess.run(
            ["msmtp", "--host=" + HOST, "--port=%d" % self.smtp_port, "--tls=on",
             "--tls-starttls=on", "--tls-certcheck=off", "--auth=login", "--user=alice",
             "--passwordeval=echo s3cret", "--from=a@b", carol + "@x"],
            input=message, capture_output=True, timeout=DEADLINE,
            env={"HOME": self.base, "PATH": os.environ["PATH"]})
        self.assertEqual(proc.returncode, 0, proc.stderr)
        stored = self.messages(carol)[before:]
        # msmtp adds From, Date and Message-ID; the rest arrives in CR LF, the dot line whole.
        self.assertEqual(len(stored), 1)
        self.assertTrue(stored[0].endswith(b"\r\nSubject: by msmtp\r\n\r\nfirst\r\n.dotted\r\n"
                                           b"last\r\n"), stored[0])
        self.assert_served(carol, self.messages(carol), b"s3cret")
