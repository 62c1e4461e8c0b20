"""Mail in by LMTP and SMTP: per-recipient replies, pipelining, dot-stuffing, size limits,
STARTTLS, AUTH and relay refusal, each stored message then fetched over POP3."""

import os
import poplib
import re
import smtplib
import socket
import ssl

from server_case import ServerTestCase
from drennik import DEADLINE, HOST, read_file, retr_reply

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


class Delivery(ServerTestCase):

    server_args = ("--lmtp-port", "0", "--smtp-port", "0", "--domains", "Mail.Test,other.test",
                   "--max-message-size", str(MAX_SIZE), "--tls-self-signed")

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.lmtp_port = cls.server.wait_listening(pattern=LMTP_RE)
        cls.smtp_port = cls.server.wait_listening(pattern=SMTP_RE)

    def messages(self, user):
        folder = self.user_dir(user)
        names = sorted(n for n in os.listdir(folder))
        return [read_file(os.path.join(folder, n)) for n in names]

    def assert_served(self, user, messages):
        """Stored as sent, and served so over POP3."""
        self.assertEqual(self.messages(user), messages)
        c = self.connect()
        c.login(user)
        for number, message in enumerate(messages, 1):
            self.assertEqual(c.request(b"RETR %d" % number, multi=True), retr_reply(message))
        c.sync()

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
