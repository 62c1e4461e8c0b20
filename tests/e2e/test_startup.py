"""Command line, start-up failures and shutdown by signal."""

import os
import signal
import socket
import time
import unittest

import server_case  # noqa: F401 (puts the shared fixture on the path)
from drennik import HOST, Server, make_root, make_user, retr_reply, rmtree, run_once


def free_port():
    with socket.socket() as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


class Startup(server_case.OwnServersTestCase):

    def setUp(self):
        super().setUp()
        self.base = make_root()
        self.root = os.path.join(self.base, "root")
        os.mkdir(self.root, 0o755)
        make_user(self.root, "s", {"1": b"hello\r\n"})

    def tearDown(self):
        super().tearDown()
        rmtree(self.base)

    def test_listen_takes_one_address_for_every_listener(self):
        s = self.server(args=["--listen", "127.0.0.2", "--tls-self-signed",
                              "--pop3s-port", "0"]).start()
        with socket.create_connection(("127.0.0.2", s.port), timeout=10) as there:
            there.settimeout(10)
            self.assertEqual(there.recv(100), b"+OK Drennik here\r\n")
        for port in (s.port, s.tls_port):
            socket.create_connection(("127.0.0.2", port), timeout=10).close()
            with self.assertRaises(ConnectionRefusedError):
                socket.create_connection((HOST, port), timeout=10).close()
        self.assertEqual(s.stop(), 0)
        status, _, err = run_once(["--port", "0", "--root", self.root, "--listen", "::1/128"])
        self.assertEqual(status, 2)
        self.assertIn(b"listen address", err)

    def test_a_display_that_cannot_be_opened_means_no_window(self):
        unused = next(n for n in range(87, 200) if not os.path.exists("/tmp/.X11-unix/X%d" % n))
        s = self.server(env={"QT_QPA_PLATFORM": None, "WAYLAND_DISPLAY": None,
                             "DISPLAY": ":%d" % unused}).start()
        self.assertIn(b"drennik: cannot open display :%d; running without a window" % unused,
                      s.stderr())
        with s.connect() as c:
            c.login("s")
            self.assertEqual(c.request(b"RETR 1", multi=True), retr_reply(b"hello\r\n"))
        self.assertEqual(s.stop(), 0)

    def test_listening_line_names_the_real_port(self):
        s = self.server().start()
        self.assertNotEqual(s.port, 0)
        with s.connect() as c:
            c.login("s")
            self.assertEqual(c.request(b"RETR 1", multi=True), retr_reply(b"hello\r\n"))
        port = free_port()
        s2 = self.server(port=port).start()
        self.assertEqual(s2.port, port)
        with s2.connect() as c:
            c.sync()
        self.assertEqual(s.stop(), 0)
        self.assertEqual(s2.stop(), 0)

    def test_root_with_blanks_and_a_trailing_slash(self):
        root = os.path.join(self.base, "Post Office \u00e9") + "/"
        os.mkdir(root)
        make_user(root, "s p", {"1": b"spaced\r\n"})
        s = Server(root)
        self.servers.append(s)
        s.start()
        with s.connect() as c:
            c.login("s p")
            self.assertEqual(c.request(b"RETR 1", multi=True), retr_reply(b"spaced\r\n"))
            self.assertEqual(c.request(b"DELE 1"), b"+OK\r\n")
            self.assertEqual(c.request(b"QUIT"), b"+OK \r\n")
            c.sync()
        self.assertEqual(os.listdir(os.path.join(root, "s p")), [])
        self.assertEqual(s.stop(), 0)

    def test_port_already_in_use(self):
        holder = socket.socket()
        try:
            holder.bind((HOST, 0))
            holder.listen(5)
            port = holder.getsockname()[1]
            s = self.server(port=port)
            started = time.monotonic()
            s.start(wait=False)
            rc = s.wait(timeout=20)
            elapsed = time.monotonic() - started
            self.assertIsNotNone(rc, "server still running with its port taken; stderr=%r"
                                 % s.stderr())
            self.assertEqual(rc, 1, "stderr=%r" % s.stderr())
            self.assertLess(elapsed, 5.0)
            self.assertIn(b"Could not listen on Port  %d" % port, s.stderr())
            self.assertNotIn(b"listening on port", s.stdout())
        finally:
            holder.close()

    def test_signals_shut_down_cleanly_and_free_the_port(self):
        port = None
        for sig in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(signal=sig.name):
                s = self.server(port=port or 0).start()
                if port is None:
                    port = s.port
                self.assertEqual(s.port, port)
                # A session in progress, with a reply partly unread, while
                # the signal arrives.
                c = s.connect()
                c.login("s")
                c.send(b"STAT\r\n")
                self.assertEqual(s.stop(sig), 0, "stderr=%r" % s.stderr())
                c.read_to_eof()
                c.close()
        # The port is free again at once.
        s = self.server(port=port).start()
        self.assertEqual(s.port, port)
        with s.connect() as c:
            c.sync()
        self.assertEqual(s.stop(), 0)

    def test_bad_options_exit_with_usage(self):
        cases = [
            ["--bogus"],
            ["--port"],
            ["--port", "abc"],
            ["--port", "65536"],
            ["--port", "70000"],
            ["--port", "-1"],
            ["--port", "12ab"],
            ["-z"],
        ]
        for args in cases:
            with self.subTest(args=args):
                rc, out, err = run_once(["--root", self.root] + args)
                self.assertEqual(rc, 2, "stdout=%r stderr=%r" % (out, err))
                self.assertIn(b"usage", err.lower(), "no usage text on stderr")
                self.assertNotIn(b"listening on port", out)

    def test_help_and_version_do_not_start_a_server(self):
        for flag in ("--help", "--version"):
            with self.subTest(flag=flag):
                rc, out, err = run_once(["--port", "0", "--root", self.root, flag])
                self.assertEqual(rc, 0, "stdout=%r stderr=%r" % (out, err))
                self.assertTrue((out + err).strip())
                self.assertNotIn(b"listening on port", out)


if __name__ == "__main__":
    unittest.main()
