"""Mail flowing through: many deliveries by LMTP at once while POP3 sessions take the mail
away, and Postfix handing mail to the LMTP socket."""

import os
import re
import smtplib
import tempfile
import threading
import time
import unittest

from server_case import ServerTestCase
from drennik import DEADLINE, HOST, rmtree
from drennik.postfix import Postfix, usable

LMTP_RE = re.compile(rb"listening on LMTP port (\d+)")
SENDERS = 20
EACH = 10  # messages per sender: 200 in all


def message(number):
    """Message `number`, whose last line tells how long it is: a file seen half-written is
    caught by its missing end. Sizes vary from a few lines to a few hundred KiB."""
    body = b"".join(b"line %d of message %d\r\n" % (i, number)
                    for i in range(1 + (number * 7919) % 12000))
    head = b"Subject: flow %d\r\n\r\n" % number
    end = b"END %d %d\r\n" % (number, len(head) + len(body))
    return head + body + end


def check_whole(self, data):
    """The number of a message retrieved whole (unstuffed, without its final "."); fails on
    anything else."""
    m = re.search(rb"END (\d+) (\d+)\r\n\Z", data)
    self.assertTrue(m, "a message was served without its end: %r" % data[-80:])
    number = int(m.group(1))
    self.assertEqual(data, message(number))
    return number


class ConcurrentDeliveries(ServerTestCase):

    server_args = ("--lmtp-port", "0")

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.lmtp_port = cls.server.wait_listening(pattern=LMTP_RE)

    def test_every_message_arrives_once_and_whole_while_sessions_take_them(self):
        user = self.new_user()
        errors = []
        delivered = threading.Event()

        def send(first):
            try:
                with smtplib.LMTP(HOST, self.lmtp_port, timeout=DEADLINE) as lmtp:
                    for number in range(first, first + EACH):
                        refused = lmtp.sendmail("a@test", ["%s@test" % user], message(number))
                        if refused:
                            errors.append(refused)
            except Exception as e:  # reported by the main thread
                errors.append(e)

        senders = [threading.Thread(target=send, args=(i * EACH,)) for i in range(SENDERS)]
        for t in senders:
            t.start()
        taken = []
        deadline = time.monotonic() + 120
        try:
            # Sessions list, retrieve and delete whatever has arrived, until everything has.
            while time.monotonic() < deadline:
                finished = not any(t.is_alive() for t in senders)
                c = self.connect()
                c.login(user)
                count = int(c.request(b"STAT").split()[1])
                for n in range(1, count + 1):
                    reply = c.request(b"RETR %d" % n, multi=True)
                    self.assertTrue(reply.startswith(b"+OK"), reply[:80])
                    body = reply[reply.index(b"\r\n") + 2:-3]
                    body = re.sub(rb"(?m)^\.", b"", body)
                    taken.append(check_whole(self, body))
                    self.assertEqual(c.request(b"DELE %d" % n), b"+OK\r\n")
                self.assertTrue(c.request(b"QUIT").startswith(b"+OK"))
                c.close()
                if finished and count == 0:
                    break
        finally:
            for t in senders:
                t.join(DEADLINE)
        self.assertEqual(errors, [])
        self.assertEqual(sorted(taken), list(range(SENDERS * EACH)))
        self.assertEqual(os.listdir(self.user_dir(user)), [])


@unittest.skipIf(usable(), usable())
class PostfixToTheSocket(ServerTestCase):
    """Postfix's lmtp client delivering to the Unix socket, as a mailbox_transport would."""

    @classmethod
    def prepare_class_root(cls):
        # Postfix's delivery agents run as "postfix": the socket's folder must let them in.
        cls.sockets = tempfile.mkdtemp(prefix="drennik-lmtp-")
        os.chmod(cls.sockets, 0o755)
        cls.socket = os.path.join(cls.sockets, "lmtp")
        cls.server_args = ("--lmtp-socket", cls.socket, "--lmtp-socket-mode", "0666")

    @classmethod
    def tearDownClass(cls):
        try:
            super().tearDownClass()
        finally:
            rmtree(cls.sockets)

    def test_mail_sent_through_postfix_is_served(self):
        users = [self.new_user(), self.new_user()]
        postfix = Postfix(os.path.join(self.base, "postfix"), "lmtp:unix:" + self.socket)
        postfix.start()
        try:
            body = b"Subject: through postfix\n\nfirst line\n.a line with a dot\nlast\n"
            postfix.send("sender@postfix.test", ["%s@mail.test" % u for u in users], body)
            postfix.send("sender@postfix.test", ["nobody-here@mail.test"], body)
            self.assertTrue(postfix.wait_for("status=sent", 2), postfix.log())
            self.assertTrue(postfix.wait_for("status=bounced", 1), postfix.log())
        finally:
            postfix.stop()
        self.assertIn("550 5.1.1", postfix.log())
        for user in users:
            c = self.connect()
            c.login(user)
            self.assertTrue(c.request(b"STAT").startswith(b"+OK 1 "))
            reply = c.request(b"RETR 1", multi=True)
            # Postfix adds its own fields; the body arrives as it was sent, in CR LF, the dot
            # line stuffed again on the way out.
            self.assertIn(b"\r\nReceived: by postfix.test (Postfix", reply)
            self.assertIn(b"\r\nSubject: through postfix\r\n", reply)
            self.assertTrue(reply.endswith(b"\r\n\r\nfirst line\r\n..a line with a dot\r\n"
                                           b"last\r\n.\r\n"), reply)
