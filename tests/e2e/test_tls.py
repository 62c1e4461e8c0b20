"""TLS: implicit TLS on the second port and STLS on the first, with real clients (curl,
poplib) and with raw sockets for what no well-behaved client does."""

import hashlib
import os
import poplib
import re
import shutil
import socket
import ssl
import subprocess
import time
import unittest
import weakref

from server_case import ServerTestCase
from drennik import (DEADLINE, HOST, LOGIN_FAILED, Client, Server, make_root, make_user,
                     message_lines, retr_body, rmtree, run_once, sent_size, unstuffed)

CURL = "/usr/bin/curl"
OPENSSL = shutil.which("openssl")
BIG_SIZE = 20 * 1024 * 1024


def make_certificate(folder, name="server", rsa=False):
    """An ECDSA P-256 (or RSA) certificate for localhost and 127.0.0.1 and its key, as PEM
    files."""
    cert = os.path.join(folder, name + "-cert.pem")
    key = os.path.join(folder, name + "-key.pem")
    new_key = ["rsa:2048"] if rsa else ["ec", "-pkeyopt", "ec_paramgen_curve:P-256"]
    subprocess.run([OPENSSL, "req", "-x509", "-newkey"] + new_key + [
                    "-nodes", "-keyout", key, "-out", cert,
                    "-days", "2", "-subj", "/CN=localhost",
                    "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1"],
                   check=True, capture_output=True, timeout=60)
    return cert, key


def trusting(cafile=None, cadata=None):
    """A client context that trusts only the given certificate and checks the name."""
    return ssl.create_default_context(cafile=cafile, cadata=cadata)


def curl(*args, timeout=120):
    env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
    return subprocess.run([CURL, "-s", "--max-time", "90"] + list(args),
                          stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout, env=env)


_leftovers = weakref.WeakKeyDictionary()


def read_until(sock, marker, timeout=DEADLINE):
    """Bytes from a (TLS or plain) socket up to and including marker; what came after it is
    kept for the next call on the same socket."""
    data = _leftovers.pop(sock, b"")
    deadline = time.monotonic() + timeout
    while marker not in data:
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            raise AssertionError("no %r within %gs; got %r" % (marker, timeout, data[-200:]))
        sock.settimeout(remaining)
        chunk = sock.recv(65536)
        if not chunk:
            raise AssertionError("closed before %r; got %r" % (marker, data[-200:]))
        data += chunk
    end = data.index(marker) + len(marker)
    if end < len(data):
        _leftovers[sock] = data[end:]
    return data[:end]


def read_to_end(sock, timeout=DEADLINE):
    """Everything until the peer closes; raises on the deadline."""
    data = b""
    sock.settimeout(timeout)
    while True:
        try:
            chunk = sock.recv(65536)
        except (ConnectionResetError, ssl.SSLError, ssl.SSLEOFError):
            return data
        if not chunk:
            return data
        data += chunk


def client_hello():
    """The first flight of a real TLS client, as bytes."""
    incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
    ctx = ssl.create_default_context()
    tls = ctx.wrap_bio(incoming, outgoing, server_hostname="localhost")
    with unittest.TestCase().assertRaises(ssl.SSLWantReadError):
        tls.do_handshake()
    return outgoing.read()


@unittest.skipUnless(OPENSSL, "openssl not installed")
class TlsCase(ServerTestCase):
    """A server with a certificate from files, on a plain and an implicit-TLS port."""

    extra_args = ()

    @classmethod
    def prepare_class_root(cls):
        cls.cert, cls.key = make_certificate(cls.base)
        cls.server_args = ("--tls-cert", cls.cert, "--tls-key", cls.key,
                           "--pop3s-port", "0") + tuple(cls.extra_args)
        cls.context = trusting(cafile=cls.cert)

    def tls_connect(self, port=None, greet=True):
        raw = socket.create_connection((HOST, port or self.server.tls_port), timeout=DEADLINE)
        sock = self.context.wrap_socket(raw, server_hostname=HOST)
        self.addCleanup(sock.close)
        if greet:
            self.assertEqual(read_until(sock, b"\r\n"), b"+OK Drennik here\r\n")
        return sock

    def pop3s(self):
        p = poplib.POP3_SSL(HOST, self.server.tls_port, context=self.context, timeout=60)
        self.addCleanup(p.close)
        return p


@unittest.skipUnless(os.access(CURL, os.X_OK), "curl not installed")
class TlsWithClients(TlsCase):

    @classmethod
    def prepare_class_root(cls):
        super().prepare_class_root()
        cls.msgs = [b"Subject: one\r\n\r\nfirst\r\n.second\r\n", b".dot\nline\r\n..\r.",
                    b"no line end", b"Subject: four\r\nX: y\r\n\r\nbody\r\n"]
        make_user(cls.root, "tc", {"m%d" % i: m for i, m in enumerate(cls.msgs)})
        block = bytes(range(256)) * 64 + b"\r\n.\r\n..\n\r"
        cls.big = (block * (BIG_SIZE // len(block) + 1))[:BIG_SIZE]
        make_user(cls.root, "tbig", {"big": cls.big})

    def url(self, scheme, port, path=""):
        return "%s://tc:tc@%s:%d/%s" % (scheme, HOST, port, path)

    def test_curl_over_implicit_tls_and_stls(self):
        listing = b"".join(b"%d %d\r\n" % (i, sent_size(m)) for i, m in enumerate(self.msgs, 1))
        for name, scheme, port, extra in (
                ("pop3s", "pop3s", self.server.tls_port, []),
                ("stls", "pop3", self.server.port, ["--ssl-reqd"])):
            with self.subTest(way=name):
                r = curl("--cacert", self.cert, *extra, self.url(scheme, port))
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertEqual(r.stdout, listing)
                for i, m in enumerate(self.msgs, 1):
                    r = curl("--cacert", self.cert, *extra, self.url(scheme, port, str(i)))
                    self.assertEqual(r.returncode, 0, r.stderr)
                    self.assertEqual(r.stdout, unstuffed(m))
                r = curl("--cacert", self.cert, *extra, self.url(scheme, port), "-X", "TOP 4 0")
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertEqual(r.stdout, b"Subject: four\r\nX: y\r\n\r\n")
        # Trust is checked: without the certificate curl refuses the server.
        r = curl(self.url("pop3s", self.server.tls_port))
        self.assertNotEqual(r.returncode, 0)

    def session(self, p, user, stls):
        """capa, uidl, top, retr, dele, quit; the uids must match a plain session's."""
        plain = poplib.POP3(HOST, self.server.port, timeout=60)
        plain.user(user)
        plain.pass_(user)
        _, plain_uids, _ = plain.uidl()
        plain.quit()
        self.assertNotIn("STLS", p.capa())
        self.assertEqual(p.user(user), b"+OK")
        self.assertEqual(p.pass_(user), b"+OK")
        _, uids, _ = p.uidl()
        self.assertEqual(uids, plain_uids)
        resp, lines, _ = p.top(1, 0)
        self.assertEqual(lines, [b"Subject: one", b""])
        for i, m in enumerate(self.msgs, 1):
            resp, lines, _ = p.retr(i)
            self.assertEqual(resp, b"+OK ")
            self.assertEqual(lines, message_lines(m))
        self.assertEqual(p.dele(2), b"+OK")
        self.assertEqual(p.quit(), b"+OK ")

    def test_poplib_over_implicit_tls_and_stls(self):
        for stls in (False, True):
            with self.subTest(stls=stls):
                user = self.new_user({"m%d" % i: m for i, m in enumerate(self.msgs)})
                if stls:
                    p = poplib.POP3(HOST, self.server.port, timeout=60)
                    self.addCleanup(p.close)
                    self.assertIn("STLS", p.capa())
                    self.assertEqual(p.stls(context=self.context), b"+OK")
                    self.assertEqual(p.sock.version(), "TLSv1.3")
                else:
                    p = self.pop3s()
                    self.assertEqual(p.getwelcome(), b"+OK Drennik here")
                self.session(p, user, stls)
                self.assertEqual(sorted(os.listdir(self.user_dir(user))),
                                 [b"m0", b"m2", b"m3"])

    def test_tls_1_2_is_served_too(self):
        ctx = trusting(cafile=self.cert)
        ctx.maximum_version = ssl.TLSVersion.TLSv1_2
        raw = socket.create_connection((HOST, self.server.tls_port), timeout=DEADLINE)
        with ctx.wrap_socket(raw, server_hostname=HOST) as sock:
            self.assertEqual(sock.version(), "TLSv1.2")
            self.assertEqual(read_until(sock, b"\r\n"), b"+OK Drennik here\r\n")
            sock.sendall(b"QUIT\r\n")
            self.assertEqual(read_until(sock, b"\r\n"), b"+OK \r\n")

    def test_large_retr_read_slowly_is_exact_and_held_back(self):
        raw = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        raw.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 16384)
        raw.settimeout(DEADLINE)
        raw.connect((HOST, self.server.tls_port))
        sock = self.context.wrap_socket(raw, server_hostname=HOST)
        self.addCleanup(sock.close)
        read_until(sock, b"\r\n")
        sock.sendall(b"USER tbig\r\nPASS tbig\r\nRETR 1\r\n")
        got = bytearray()
        rss_before = None
        for step in range(50):  # about 2.5 s of a slow reader
            time.sleep(0.05)
            got += sock.recv(8192)
            if step == 9:
                # Measured once the reply streams, so one-time costs (the first TLS session,
                # a sanitizer's own bookkeeping) are not counted.
                rss_before = self.server.rss_kib()
        rss_slow = self.server.rss_kib()
        # Without backpressure the whole 20 MiB message, and its ciphertext, would be queued
        # at once; with it, a few batches are.
        self.assertLess(rss_slow - rss_before, 16 * 1024, "server memory grew with the message")
        expected = b"+OK\r\n+OK\r\n+OK \r\n" + retr_body(self.big)
        deadline = time.monotonic() + 120
        while not got.endswith(b"\r\n.\r\n") or len(got) < len(expected):
            self.assertLess(time.monotonic(), deadline, "RETR did not complete")
            chunk = sock.recv(1 << 20)
            self.assertTrue(chunk, "closed during RETR")
            got += chunk
        self.assertEqual(len(got), len(expected))
        self.assertTrue(bytes(got) == expected, "20 MiB message differs")


class TlsMisuse(TlsCase):
    """Clients that get TLS wrong or stall in it; a short idle timeout."""

    extra_args = ("--idle-timeout", "2")

    @classmethod
    def prepare_class_root(cls):
        super().prepare_class_root()
        make_user(cls.root, "evil", {"1": b"secret\r\n"})
        make_user(cls.root, "good", {"1": b"hello\r\n"})

    def assert_still_serving(self):
        p = self.pop3s()
        self.assertEqual(p.user("good"), b"+OK")
        self.assertEqual(p.pass_("good"), b"+OK")
        self.assertEqual(p.stat(), (1, 7))
        p.quit()

    def test_command_injected_before_the_handshake_is_dropped(self):
        c = self.connect()
        c.send(b"STLS\r\nUSER evil\r\n")
        self.assertEqual(c.read_line(), b"+OK\r\n")
        # Whatever the server sent in clear after "+OK" would break this handshake.
        sock = self.context.wrap_socket(c.sock, server_hostname=HOST)
        self.addCleanup(sock.close)
        self.assertEqual(sock.version(), "TLSv1.3")
        sock.sendall(b"PASS evil\r\n")
        self.assertEqual(read_until(sock, b"\r\n"), LOGIN_FAILED, "the injected USER was kept")
        sock.sendall(b"CAPA\r\nUSER good\r\nPASS good\r\nSTAT\r\nSTLS\r\n")
        capa = read_until(sock, b"\r\n.\r\n")
        self.assertNotIn(b"STLS", capa)
        self.assertEqual(read_until(sock, b"+OK 1 7\r\n"), b"+OK\r\n+OK\r\n+OK 1 7\r\n")
        self.assertEqual(read_until(sock, b"\r\n"), b"-ERR already encrypted\r\n")

    def test_stls_refused_where_it_does_not_belong(self):
        c = self.connect()
        self.assertEqual(c.request(b"CAPA", True).count(b"\r\nSTLS\r\n"), 1)
        self.assertEqual(c.request(b"USER good"), b"+OK\r\n")
        self.assertEqual(c.request(b"STLS"), b"-ERR STLS only before USER and PASS\r\n")
        self.assertEqual(c.request(b"PASS good"), b"+OK\r\n")
        sock = self.tls_connect()
        sock.sendall(b"STLS\r\nNOOP\r\n")
        self.assertEqual(read_until(sock, b"+OK\r\n"), b"-ERR already encrypted\r\n+OK\r\n")

    def test_failed_handshakes_close_and_harm_nobody(self):
        for name, data in (("junk", b"\x16\x03\x01\x00\x20" + bytes(range(32)) * 4),
                           ("plain text", b"USER x\r\n")):
            with self.subTest(client=name):
                sock = socket.create_connection((HOST, self.server.tls_port), timeout=DEADLINE)
                self.addCleanup(sock.close)
                sock.sendall(data)
                received = read_to_end(sock)
                self.assertNotIn(b"+OK", received)
                self.assert_still_serving()

    def test_a_stalled_handshake_ends_at_the_idle_timeout(self):
        hello = client_hello()
        for name, data in (("nothing", b""), ("half a hello", hello[:len(hello) // 2]),
                           ("hello, then silence", hello)):
            with self.subTest(client=name):
                sock = socket.create_connection((HOST, self.server.tls_port), timeout=DEADLINE)
                self.addCleanup(sock.close)
                started = time.monotonic()
                sock.sendall(data)
                read_to_end(sock)
                # Closed by the idle timeout (2 s), not at once and not never.
                self.assertGreater(time.monotonic() - started, 1.5)
        self.assert_still_serving()


@unittest.skipUnless(OPENSSL, "openssl not installed")
class TlsOffers(unittest.TestCase):
    """The versions, TLS 1.2 suites and ALPN protocols a server accepts, as openssl s_client
    finds them. An RSA certificate is needed for a static-RSA suite to be possible at all."""

    @classmethod
    def setUpClass(cls):
        cls.base = make_root(prefix="drennik-tls-")
        cls.root = os.path.join(cls.base, "root")
        os.mkdir(cls.root)
        cls.cert, cls.key = make_certificate(cls.base, "rsa", rsa=True)

    @classmethod
    def tearDownClass(cls):
        rmtree(cls.base)

    def s_client(self, server, args):
        """(exit status, the handshake's cipher line, its ALPN line, standard error)."""
        port = server.port if "-starttls" in args else server.tls_port
        r = subprocess.run([OPENSSL, "s_client", "-connect", "%s:%d" % (HOST, port),
                            "-servername", "localhost"] + args.split(),
                           stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
        out = r.stdout.decode(errors="replace")
        cipher = re.search(r"^New, (.*)$", out, re.M)
        alpn = re.search(r"^(ALPN protocol: .*|No ALPN negotiated)$", out, re.M)
        return (r.returncode, cipher and cipher.group(1), alpn and alpn.group(1),
                r.stderr.decode(errors="replace"))

    def test_tls_1_2_needs_ecdhe_and_aead_and_alpn_needs_pop3(self):
        refused = "SSL alert number 40"  # handshake_failure: no suite in common
        no_protocol = "alert no application protocol"
        aead = r"TLSv1\.2, Cipher is ECDHE-(RSA|ECDSA)-(AES(128|256)-GCM-SHA(256|384)|CHACHA20-POLY1305)"
        tls13 = r"TLSv1\.3, Cipher is TLS_"
        # (certificate, s_client arguments, expected cipher line or alert, ALPN line)
        cases = (
            ("rsa", "-tls1_2 -cipher AES256-GCM-SHA384", refused, None),  # static RSA
            ("rsa", "-tls1_2 -cipher AES128-GCM-SHA256", refused, None),
            ("rsa", "-tls1_2 -cipher ECDHE-RSA-AES128-SHA", refused, None),  # CBC
            ("rsa", "-tls1_2 -cipher ECDHE-RSA-AES256-SHA384", refused, None),
            ("ecdsa", "-tls1_2 -cipher ECDHE-ECDSA-AES128-SHA", refused, None),
            ("rsa", "-tls1_1 -cipher DEFAULT@SECLEVEL=0", "alert protocol version", None),
            ("rsa", "-tls1_2", aead, "No ALPN negotiated"),
            ("ecdsa", "-tls1_2", aead, "No ALPN negotiated"),
            ("rsa", "-tls1_2 -cipher ECDHE-RSA-CHACHA20-POLY1305", aead, "No ALPN negotiated"),
            ("rsa", "-alpn http/1.1", no_protocol, None),
            ("ecdsa", "-tls1_2 -alpn http/1.1,imap", no_protocol, None),
            ("rsa", "-starttls pop3 -alpn http/1.1", no_protocol, None),
            ("rsa", "-alpn pop3", tls13, "ALPN protocol: pop3"),
            ("ecdsa", "-tls1_2 -alpn http/1.1,pop3", aead, "ALPN protocol: pop3"),
            ("rsa", "-starttls pop3 -alpn pop3", tls13, "ALPN protocol: pop3"),
            ("rsa", "", tls13, "No ALPN negotiated"),
        )
        with Server(self.root, args=["--tls-cert", self.cert, "--tls-key", self.key,
                                     "--pop3s-port", "0"]) as rsa, \
                Server(self.root, args=["--tls-self-signed", "--pop3s-port", "0"]) as ecdsa:
            servers = {"rsa": rsa, "ecdsa": ecdsa}
            for certificate, args, expected, alpn in cases:
                with self.subTest(certificate=certificate, args=args):
                    rc, cipher, got_alpn, err = self.s_client(servers[certificate], args)
                    if alpn is None:
                        self.assertNotEqual(rc, 0)
                        self.assertEqual(cipher, "(NONE), Cipher is (NONE)")
                        self.assertIn(expected, err)
                    else:
                        self.assertEqual(rc, 0, err)
                        self.assertRegex(cipher, expected)
                        self.assertEqual(got_alpn, alpn)
            self.assertTrue(rsa.alive() and ecdsa.alive())


@unittest.skipUnless(OPENSSL, "openssl not installed")
class TlsStartup(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.base = make_root(prefix="drennik-tls-")
        cls.root = os.path.join(cls.base, "root")
        os.mkdir(cls.root)
        cls.cert, cls.key = make_certificate(cls.base)
        _, cls.other_key = make_certificate(cls.base, "other")

    @classmethod
    def tearDownClass(cls):
        rmtree(cls.base)

    def test_bad_tls_options_and_files_exit_2(self):
        junk = os.path.join(self.base, "junk.pem")
        with open(junk, "w") as f:
            f.write("not a certificate\n")
        missing = os.path.join(self.base, "missing.pem")
        for args, says in (
                (["--tls-cert", missing, "--tls-key", self.key], b"cannot read"),
                (["--tls-cert", self.cert, "--tls-key", missing], b"cannot read"),
                (["--tls-cert", junk, "--tls-key", self.key], b"no usable PEM certificate"),
                (["--tls-cert", self.cert, "--tls-key", junk], b"no usable"),
                (["--tls-cert", self.cert, "--tls-key", self.other_key], b"does not match"),
                (["--tls-cert", self.cert], b"go together"),
                (["--pop3s-port", "0"], b"--pop3s-port needs")):
            with self.subTest(args=args):
                rc, out, err = run_once(["--port", "0", "--root", self.root] + args)
                self.assertEqual(rc, 2, err)
                self.assertIn(says, err)
                self.assertNotIn(b"listening", out)

    def test_self_signed_certificate_is_announced_and_served(self):
        with Server(self.root, args=["--tls-self-signed", "--pop3s-port", "0"]) as server:
            lines = server.stdout().splitlines()
            self.assertTrue(lines[0].startswith(b"TLS certificate SHA-256 fingerprint "))
            self.assertEqual(lines[1:3], [b"listening on port %d" % server.port,
                                          b"listening on TLS port %d" % server.tls_port])
            printed = lines[0].split()[-1].decode()
            anyone = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
            anyone.check_hostname = False
            anyone.verify_mode = ssl.CERT_NONE
            raw = socket.create_connection((HOST, server.tls_port), timeout=DEADLINE)
            with anyone.wrap_socket(raw) as sock:
                der = sock.getpeercert(binary_form=True)
            digest = hashlib.sha256(der).hexdigest().upper()
            self.assertEqual(printed, ":".join(digest[i:i + 2] for i in range(0, 64, 2)))
            # Valid for the names a local client uses.
            ctx = trusting(cadata=ssl.DER_cert_to_PEM_cert(der))
            for name in ("localhost", "127.0.0.1"):
                with self.subTest(name=name):
                    raw = socket.create_connection((HOST, server.tls_port), timeout=DEADLINE)
                    with ctx.wrap_socket(raw, server_hostname=name) as sock:
                        self.assertEqual(read_until(sock, b"\r\n"), b"+OK Drennik here\r\n")

    def test_without_tls_stls_is_unknown(self):
        with Server(self.root) as server:
            c = Client(server.port)
            try:
                self.assertNotIn(b"STLS", c.request(b"CAPA", True))
                self.assertEqual(c.request(b"STLS"), b"-ERR STLS not supported\r\n")
            finally:
                c.close()


if __name__ == "__main__":
    unittest.main()
