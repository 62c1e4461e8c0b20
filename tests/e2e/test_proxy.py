"""The PROXY protocol (--proxy-from): v1 and v2 headers from a trusted balancer, whole or
byte by byte, with the POP3 bytes or the TLS ClientHello right behind them; the carried client
in the log, the trace and the per-address limit; bad, late and untrusted headers."""

import os
import socket
import ssl
import struct
import time

import server_case
from drennik import GREETING, HOST, OK, Client, read_file, wait_until

V2_SIGNATURE = b"\r\n\r\n\x00\r\nQUIT\n"


def v2(command, family, block):
    return V2_SIGNATURE + bytes([command, family]) + struct.pack("!H", len(block)) + block


def v2_inet(client, port, tlvs=b""):
    block = socket.inet_aton(client) + socket.inet_aton("127.0.0.1") + struct.pack("!HH", port,
                                                                                   110)
    return v2(0x21, 0x11, block + tlvs)


def v2_inet6(client, port, tlvs=b""):
    block = (socket.inet_pton(socket.AF_INET6, client)
             + socket.inet_pton(socket.AF_INET6, "::1") + struct.pack("!HH", port, 110))
    return v2(0x21, 0x21, block + tlvs)


class Proxy(server_case.ServerTestCase):

    @classmethod
    def prepare_class_root(cls):
        cls.trace = os.path.join(cls.base, "trace.log")
        cls.server_args = ("--proxy-from", "127.0.0.1/32, ::1", "--max-per-address", "1",
                           "--idle-timeout", "3", "--tls-self-signed", "--pop3s-port", "0",
                           "--trace-file", cls.trace)

    def raw(self, port=None, source=None):
        c = Client(port or self.server.port, greet=False, source=source)
        self._clients.append(c)
        return c

    def test_v1_and_v2_carry_the_client_into_the_log_trace_and_limit(self):
        user = self.new_user({"1": b"hi\r\n"})
        cases = [
            (b"PROXY TCP4 192.0.2.9 127.0.0.1 40000 110\r\n", b"192.0.2.9:40000"),
            (b"PROXY TCP6 2001:db8::9 ::1 40001 110\r\n", b"[2001:db8::9]:40001"),
            (v2_inet("198.51.100.7", 40002, tlvs=b"\x01\x00\x02h2\x04\x00\x01\x00"),
             b"198.51.100.7:40002"),
            (v2_inet6("2001:db8::7", 40003), b"[2001:db8::7]:40003"),
        ]
        for header, client in cases:
            with self.subTest(client=client):
                c = self.raw()
                # The header and the first command in one packet: nothing of it is lost.
                c.send(header + b"USER %s\r\n" % user.encode())
                self.assertEqual(c.read_line(), GREETING)
                self.assertEqual(c.read_line(), OK)
                self.assertTrue(c.request(b"PASS " + user.encode()).startswith(b"+OK"))
                self.assertTrue(c.request(b"QUIT").startswith(b"+OK"))
                accept, = self.server.wait_for_log("accept", client=client)
                self.assertEqual(accept["proxy"], b"127.0.0.1:%d" % c.local_port)
                self.server.wait_for_log("login", client=client)
                self.server.wait_for_log("close", client=client)
        wait_until(lambda: b"PROXY: client [2001:db8::7]:40003 by 127.0.0.1:" in read_file(
            self.trace), what="the carried client in the trace")

        # Byte by byte: no greeting before the last byte of the header.
        c = self.raw()
        header = v2_inet6("2001:db8::8", 40004, tlvs=b"\x04\x00\x03abc")
        for i, byte in enumerate(header):
            c.send(bytes([byte]))
            if i in (0, 11, 15, len(header) - 2):
                time.sleep(0.05)  # let the server see the part on its own
        self.assertFalse(c.buf)
        self.assertEqual(c.read_line(), GREETING)
        self.server.wait_for_log("accept", client=b"[2001:db8::8]:40004")
        # The limit holds the carried client to one connection; another client is let in.
        again = self.raw()
        again.send(v2_inet6("2001:db8::8", 40005))
        self.assertEqual(again.read_to_eof(), b"-ERR too many connections\r\n")
        self.server.wait_for_log("refuse", client=b"[2001:db8::8]:40005", limit=b"per-address")
        other = self.raw()
        other.send(b"PROXY TCP6 2001:db8::10 ::1 40006 110\r\n")
        self.assertEqual(other.read_line(), GREETING)
        # LOCAL (a health check) and UNKNOWN keep the balancer's own address.
        for header in (v2(0x20, 0x00, b""), b"PROXY UNKNOWN\r\n"):
            c = self.raw()
            c.send(header)
            self.assertEqual(c.read_line(), GREETING)
            client = b"127.0.0.1:%d" % c.local_port
            self.server.wait_for_log("accept", client=client)
            c.close()
            self.server.wait_for_log("close", client=client)  # one at a time from there

    def test_bad_late_and_untrusted_headers(self):
        for header, reason in ((b"USER x\r\n", b"no PROXY header"),
                               (b"PROXY TCP4 1.2.3.4 5.6.7.8 1\r\n", b"v1 header with bad addresses"),
                               (b"PROXY " + b"x" * 110, b"v1 header too long"),
                               (v2(0x21, 0x12, b"\x00" * 12), b"v2 header of something other than TCP"),
                               (b"", b"timeout")):
            with self.subTest(reason=reason):
                c = self.raw()
                c.send(header)
                self.assertEqual(c.read_to_eof(timeout=15), b"", "closed, no greeting")
                refused, = self.server.wait_for_log("proxy-refused", reason=reason)
                self.assertEqual(refused["proxy"], b"127.0.0.1:%d" % c.local_port)
        # From elsewhere, a header is just a bad command.
        c = self.raw(source="127.0.0.2")
        self.assertEqual(c.read_line(), GREETING)
        c.send(b"PROXY TCP4 192.0.2.1 127.0.0.1 1 110\r\n")
        self.assertTrue(c.read_line().startswith(b"-ERR"))
        self.server.wait_for_log("accept", client=b"127.0.0.2:%d" % c.local_port)

    def test_the_header_comes_before_tls_with_the_client_hello_right_behind(self):
        context = ssl.create_default_context()
        context.check_hostname = False
        context.verify_mode = ssl.CERT_NONE
        incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
        tls = context.wrap_bio(incoming, outgoing)
        with self.assertRaises(ssl.SSLWantReadError):
            tls.do_handshake()
        with socket.create_connection((HOST, self.server.tls_port), timeout=10) as sock:
            sock.sendall(b"PROXY TCP4 192.0.2.77 127.0.0.1 41000 995\r\n" + outgoing.read())
            deadline = time.monotonic() + 20
            greeting = b""
            while not greeting.endswith(b"\r\n") and time.monotonic() < deadline:
                data = sock.recv(65536)
                self.assertTrue(data, "closed during the handshake")
                incoming.write(data)
                try:
                    tls.do_handshake()
                    greeting += tls.read(100)
                except ssl.SSLWantReadError:
                    pass
                if outgoing.pending:
                    sock.sendall(outgoing.read())
            self.assertEqual(greeting, GREETING)
        accept, = self.server.wait_for_log("accept", client=b"192.0.2.77:41000")
        self.assertEqual(accept["listener"], b"pop3s")
