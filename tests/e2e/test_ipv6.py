"""IPv6: the listeners take ::1 as well as 127.0.0.1 by default; real clients over ::1; the
per-address limit and the log with an IPv6 client; --listen keeping to the addresses it
names. Skipped where the machine has no IPv6 loopback."""

import os
import poplib
import shutil
import socket
import subprocess
import unittest

from drennik import HOST, Client, Server, make_root, make_user, rmtree


def ipv6_loopback():
    try:
        with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False


HAVE_IPV6 = ipv6_loopback()


def refused(host, port):
    try:
        socket.create_connection((host, port), timeout=10).close()
    except ConnectionRefusedError:
        return True
    return False


@unittest.skipUnless(HAVE_IPV6, "no IPv6 loopback on this machine")
class Ipv6(unittest.TestCase):

    def setUp(self):
        self.base = make_root(prefix="drennik-e2e-")
        self.root = os.path.join(self.base, "root")
        os.mkdir(self.root, 0o755)
        self.servers = []

    def tearDown(self):
        for s in self.servers:
            s.kill()
        rmtree(self.base)

    def server(self, args=()):
        s = Server(self.root, args=list(args))
        self.servers.append(s)
        return s.start()

    def test_both_families_by_default_real_clients_limit_and_log(self):
        make_user(self.root, "v6", {"1": b"one\r\n", "2": b"two\r\n"})
        s = self.server(["--max-per-address", "2"])
        # poplib over ::1, and the log names the client in IPv6 form.
        pop = poplib.POP3("::1", s.port, timeout=10)
        pop.user("v6")
        pop.pass_("v6")
        self.assertEqual(pop.stat(), (2, 10))
        local = pop.sock.getsockname()[1]
        pop.quit()
        client = b"[::1]:%d" % local
        for name in ("accept", "login", "logout", "close"):
            s.wait_for_log(name, client=client)
        # curl over ::1 (its URL form with brackets).
        if shutil.which("curl"):
            got = subprocess.run(["curl", "-sS", "--max-time", "20", "-u", "v6:v6",
                                  "pop3://[::1]:%d/2" % s.port], capture_output=True,
                                 timeout=30)
            self.assertEqual((got.returncode, got.stdout), (0, b"two\r\n"), got.stderr)
        # The per-address limit counts ::1 on its own: two from ::1 and 127.0.0.1 each.
        held = [Client(s.port, host="::1"), Client(s.port, host="::1"), Client(s.port)]
        over = Client(s.port, greet=False, host="::1")
        self.assertEqual(over.read_to_eof(), b"-ERR too many connections\r\n")
        s.wait_for_log("refuse", client=b"[::1]:%d" % over.local_port, limit=b"per-address")
        held.append(Client(s.port))
        for c in held + [over]:
            c.close()
        self.assertEqual(s.stop(), 0)

    def test_listen_keeps_to_the_addresses_named(self):
        make_user(self.root, "l", {"1": b"x\r\n"})
        for only, other in (("::1", HOST), (HOST, "::1")):
            with self.subTest(listen=only):
                s = self.server(["--listen", only, "--tls-self-signed", "--pop3s-port", "0"])
                for port in (s.port, s.tls_port):
                    socket.create_connection((only, port), timeout=10).close()
                    self.assertTrue(refused(other, port), (other, port))
                with Client(s.port, host=only) as c:
                    c.login("l")
                self.assertEqual(s.stop(), 0)
        # Both named: both taken, on one port.
        s = self.server(["--listen", "::1", "--listen", HOST])
        for host in ("::1", HOST):
            with Client(s.port, host=host) as c:
                c.login("l")
        self.assertEqual(s.stop(), 0)


if __name__ == "__main__":
    unittest.main()
