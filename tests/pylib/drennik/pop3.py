"""A POP3 client over a raw loopback socket that reads by byte patterns, with
deadlines that only catch hangs."""

import fcntl
import socket
import struct
import termios
import time

from . import probes
from .common import DEADLINE, HOST, Failure, fs, short, wait_until

GREETING = b"+OK Drennik here\r\n"
OK = b"+OK\r\n"

# A command the server does not know. Its reply marks "everything sent before it has
# been answered" and proves no stray bytes came in between.
SYNC_COMMAND = b"ZSYN"
SYNC_REPLY = b"-ERR ZSYN not supported\r\n"

_LINGER_ZERO = struct.pack("ii", 1, 0)


class ReplyTimeout(Failure):
    pass


class ConnectionClosed(Failure):
    pass


class Client:
    """One POP3 connection. With greet=True the greeting is read and checked."""

    def __init__(self, port, greet=True, timeout=DEADLINE, connect_timeout=None, source=None,
                 host=HOST):
        self.timeout = timeout
        # `source`: another loopback address to come from (127.0.0.2, ...); `host`: "::1" for
        # IPv6.
        self.sock = socket.create_connection((host, port), timeout=connect_timeout or timeout,
                                             source_address=(source, 0) if source else None)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.local_port = self.sock.getsockname()[1]
        self.server_port = port
        self.buf = bytearray()
        self.eof = False
        if greet:
            got = self.read_line()
            if got != GREETING:
                raise Failure("greeting %s, expected %s" % (short(got), short(GREETING)))

    # -- low level --------------------------------------------------------
    def send(self, data):
        self.sock.sendall(data)

    def _fill(self, deadline, what):
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            raise ReplyTimeout("no %s within %gs; received so far %s"
                               % (what, self.timeout, short(self.buf, 600)))
        self.sock.settimeout(remaining)
        try:
            self._take(1 << 20)
        except socket.timeout:
            raise ReplyTimeout("no %s within %gs; received so far %s"
                               % (what, self.timeout, short(self.buf, 600)))

    def _take(self, size):
        """One recv into the buffer; a reset counts as the end of the stream."""
        try:
            chunk = self.sock.recv(size)
        except ConnectionResetError:
            chunk = b""
        if not chunk:
            self.eof = True
        self.buf += chunk

    def read_until(self, marker, timeout=None, what=None):
        """Bytes up to and including the first occurrence of marker."""
        deadline = time.monotonic() + (timeout or self.timeout)
        start = 0
        while True:
            i = self.buf.find(marker, start)
            if i >= 0:
                end = i + len(marker)
                out = bytes(self.buf[:end])
                del self.buf[:end]
                return out
            start = max(0, len(self.buf) - len(marker) + 1)
            if self.eof:
                raise ConnectionClosed("connection closed before %r; received %s"
                                       % (marker, short(self.buf, 600)))
            self._fill(deadline, what or repr(marker))

    def read_exact(self, n, timeout=None):
        deadline = time.monotonic() + (timeout or self.timeout)
        while len(self.buf) < n:
            if self.eof:
                raise ConnectionClosed("connection closed after %d of %d bytes: %s"
                                       % (len(self.buf), n, short(self.buf, 600)))
            self._fill(deadline, "%d bytes" % n)
        out = bytes(self.buf[:n])
        del self.buf[:n]
        return out

    def read_line(self, timeout=None):
        return self.read_until(b"\r\n", timeout)

    def read_to_eof(self, timeout=None):
        """Everything until the server closes; fails if it never does."""
        deadline = time.monotonic() + (timeout or self.timeout)
        while not self.eof:
            self._fill(deadline, "end of connection")
        out = bytes(self.buf)
        self.buf.clear()
        return out

    def ready_within(self, seconds):
        """True when a byte (or the end) arrives within `seconds`. Only for waiting on
        something that must come; False proves nothing."""
        if self.buf or self.eof:
            return True
        self.sock.settimeout(seconds)
        try:
            self._take(1 << 16)
        except socket.timeout:
            return False
        return True

    def unacknowledged(self):
        """Bytes sent that the server's kernel has not acknowledged yet."""
        out = fcntl.ioctl(self.sock.fileno(), termios.TIOCOUTQ, struct.pack("i", 0))
        return struct.unpack("i", out)[0]

    def wait_taken(self, timeout=None):
        """Wait until the server has read every byte sent so far: all of it is
        acknowledged and its socket's receive queue is empty. Returns as well when the
        server has closed its end, as it reads nothing more then."""
        def taken():
            theirs = probes.tcp_socket(self.server_port, self.local_port)
            if theirs is None or theirs.state not in (probes.TCP_ESTABLISHED,
                                                      probes.TCP_CLOSE_WAIT):
                return True
            return theirs.rx == 0 and self.unacknowledged() == 0
        wait_until(taken, timeout or self.timeout, "the server to read what was sent",
                   interval=0.001)

    def server_unread(self):
        """Bytes that reached the server's socket and the server has not read, or None
        when the server's end of the connection is gone."""
        theirs = probes.tcp_socket(self.server_port, self.local_port)
        return None if theirs is None else theirs.rx

    # -- POP3 ------------------------------------------------------------
    def request(self, line, multi=False):
        """Send one command line (None: send nothing) and return its whole reply; with
        multi=True a positive reply is read up to the terminating dot line."""
        if line is not None:
            self.send(line + b"\r\n")
        return self.read_reply(multi)

    def read_reply(self, multi=False):
        first = self.read_line()
        if multi and first.startswith(b"+OK"):
            # With the first line put back, the first "\r\n.\r\n" is the terminator, also
            # for an empty body (a stuffed line is never a lone dot).
            self.buf[:0] = first
            return self.read_until(b"\r\n.\r\n", what="end of multi-line reply")
        return first

    def expect(self, line, want, multi=False):
        """request(), failing unless the reply is exactly `want`."""
        got = self.request(line, multi)
        if got != want:
            raise Failure("%s -> %s, expected %s" % (line, short(got), short(want)))
        return got

    def login(self, user, password=None):
        user = fs(user)
        password = user if password is None else fs(password)
        self.expect(b"USER " + user, OK)
        self.expect(b"PASS " + password, OK)

    def sync(self):
        """Prove that everything sent so far was answered and nothing else came."""
        self.send(SYNC_COMMAND + b"\r\n")
        got = self.read_line()
        if got != SYNC_REPLY:
            raise Failure("stray bytes before the next reply: %s (then %s)"
                          % (short(got), short(self.buf, 600)))

    def pipeline(self, lines):
        """Send all lines in one write plus the sync command; return all the bytes
        answered before the sync reply."""
        self.send(b"".join(l + b"\r\n" for l in lines) + SYNC_COMMAND + b"\r\n")
        data = self.read_until(SYNC_REPLY, what="replies to the pipelined commands")
        return data[:-len(SYNC_REPLY)]

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass

    def abort(self):
        """Vanish with a reset (SO_LINGER 0) instead of an orderly FIN."""
        try:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, _LINGER_ZERO)
        except OSError:
            pass
        self.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
