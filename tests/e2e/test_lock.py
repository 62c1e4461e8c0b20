"""--lock-maildrop: one logged-in session per maildrop, within one server and across two
servers on the same root."""

import os
import time

from server_case import OwnServersTestCase
from drennik import Client, make_root, make_user, rmtree

IN_USE = b"-ERR [IN-USE] maildrop in use by another session\r\n"


class MaildropLock(OwnServersTestCase):

    def setUp(self):
        super().setUp()
        self.root = make_root(prefix="drennik-e2e-lock-")
        self.addCleanup(rmtree, self.root)
        make_user(self.root, "amy", {"1": b"Subject: one\r\n\r\nx\r\n"})

    def test_a_second_login_waits_for_the_first_session_to_end_however_it_ends(self):
        a = self.server(args=["--lock-maildrop"]).start()
        b = self.server(args=["--lock-maildrop"]).start()
        first = Client(a.port)
        self.addCleanup(first.close)
        first.login("amy")
        for port in (a.port, b.port):  # the same process, and another one
            with Client(port) as c:
                c.expect(b"USER amy", b"+OK\r\n")
                c.expect(b"PASS amy", IN_USE)
                c.expect(b"STAT", b"+OK  \r\n")
        self.assertTrue(os.path.exists(os.path.join(self.root, "amy", ".drennik.lock")))
        first.expect(b"STAT", b"+OK 1 19\r\n")  # the lock file is no message

        # Ended by QUIT, then by a close without one: each time the other server may have it.
        first.expect(b"QUIT", b"+OK \r\n")
        second = Client(b.port)
        second.login("amy")
        second.close()
        b.wait_for_log("close", count=2)
        # The close is logged just before the session lets go: a few tries, briefly apart.
        for _ in range(50):
            with Client(a.port) as c:
                c.expect(b"USER amy", b"+OK\r\n")
                if c.request(b"PASS amy") == b"+OK\r\n":
                    break
            time.sleep(0.1)
        else:
            self.fail("the maildrop stayed locked after its session closed")
        # Without the option nothing is locked.
        plain = self.server().start()
        with Client(plain.port) as c1, Client(plain.port) as c2:
            c1.login("amy")
            c2.login("amy")
