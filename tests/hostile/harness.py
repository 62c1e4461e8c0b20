"""Helpers for the hostile-client scenarios: the server process, what /proc says
about it, maildrops on disk, the exact bytes POP3 replies must have, and a
small blocking client."""

import ctypes
import os
import re
import resource
import signal
import socket
import subprocess
import time

HOST = "127.0.0.1"
GREETING = b"+OK Drennik here\r\n"
OK = b"+OK\r\n"
START_DEADLINE = 30.0
STOP_DEADLINE = 20.0
CLK_TCK = os.sysconf("SC_CLK_TCK")


class Failure(Exception):
    """A wrong reply, a missed threshold or a hang guard that fired."""


def wait_until(predicate, timeout, what, interval=0.02):
    """Poll until predicate() is truthy; its value is returned. Fails on the deadline."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise Failure("%s not reached within %gs" % (what, timeout))
        time.sleep(interval)


def short(data, limit=160):
    data = bytes(data)
    if len(data) > limit:
        data = data[:limit // 2] + b"...(%d bytes)..." % len(data) + data[-limit // 2:]
    return repr(data)


def raise_own_fd_limit(want=65536):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft >= want:
        return soft
    try:
        resource.setrlimit(resource.RLIMIT_NOFILE, (want, max(want, hard)))
    except (ValueError, OSError):  # not root: take what the hard limit allows
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    return resource.getrlimit(resource.RLIMIT_NOFILE)[0]


# --------------------------------------------------------------------------
# The server process

_libc = ctypes.CDLL(None, use_errno=True)
_PR_SET_PDEATHSIG = 1
_live = set()


def kill_all():
    """Last resort for the watchdog: every server still running is killed."""
    for server in list(_live):
        server.kill()


class Server:
    """One drennik on a free loopback port; always use it with `with`."""

    def __init__(self, binary, root, workdir, nofile=None, args=()):
        self.binary, self.root, self.workdir = binary, root, workdir
        self.nofile, self.args = nofile, list(args)
        self.proc = None
        self.port = None

    def __enter__(self):
        self.out_path = os.path.join(self.workdir, "server.out")
        self.err_path = os.path.join(self.workdir, "server.err")
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
        nofile = self.nofile

        def preexec():
            _libc.prctl(_PR_SET_PDEATHSIG, int(signal.SIGKILL), 0, 0, 0)
            if nofile is not None:
                resource.setrlimit(resource.RLIMIT_NOFILE, (nofile, nofile))

        with open(self.out_path, "wb") as out, open(self.err_path, "wb") as err:
            self.proc = subprocess.Popen(
                [self.binary, "--port", "0", "--root", self.root] + self.args,
                stdin=subprocess.DEVNULL, stdout=out, stderr=err, env=env,
                close_fds=True, preexec_fn=preexec)
        _live.add(self)
        try:
            self.port = wait_until(self._listening, START_DEADLINE, "'listening on port N'")
        except BaseException:
            self.kill()
            raise
        return self

    def __exit__(self, *exc):
        self.kill()

    def _listening(self):
        with open(self.out_path, "rb") as f:
            m = re.search(rb"listening on port (\d+)", f.read())
        if m:
            return int(m.group(1))
        if self.proc.poll() is not None:
            raise Failure("server exited with %s before listening; stderr %s"
                          % (self.proc.returncode, short(self.stderr())))
        return None

    @property
    def pid(self):
        return self.proc.pid

    def alive(self):
        return self.proc.poll() is None

    def stderr(self):
        with open(self.err_path, "rb") as f:
            return f.read()

    def ensure_alive(self):
        if not self.alive():
            raise Failure("server died with status %s; stderr %s"
                          % (self.proc.returncode, short(self.stderr(), 400)))

    def stop(self):
        """SIGTERM; returns the exit status (the process is killed on the deadline)."""
        if self.alive():
            self.proc.send_signal(signal.SIGTERM)
        try:
            return self.proc.wait(STOP_DEADLINE)
        except subprocess.TimeoutExpired:
            self.kill()
            return "no exit within %gs of SIGTERM" % STOP_DEADLINE
        finally:
            _live.discard(self)

    def kill(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.kill()
            try:
                self.proc.wait(STOP_DEADLINE)
            except subprocess.TimeoutExpired:
                pass
        _live.discard(self)

    # What /proc says about it.
    def fds(self):
        return len(os.listdir("/proc/%d/fd" % self.pid))

    def rss_kb(self):
        with open("/proc/%d/status" % self.pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        raise Failure("no VmRSS for the server")

    def cpu_seconds(self):
        with open("/proc/%d/stat" % self.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / CLK_TCK  # utime + stime

    def idle_fds(self, timeout=10.0):
        """The descriptor count once no connection is open any more, only the listening
        socket (or the count when the deadline passes)."""
        def quiet():
            links = []
            for fd in os.listdir("/proc/%d/fd" % self.pid):
                try:
                    links.append(os.readlink("/proc/%d/fd/%s" % (self.pid, fd)))
                except FileNotFoundError:  # closed while we looked
                    pass
            sockets = sum(link.startswith("socket:") for link in links)
            return len(links) if sockets == 1 else None
        try:
            return wait_until(quiet, timeout, "connections closed", interval=0.05)
        except Failure:
            return self.fds()


# --------------------------------------------------------------------------
# Maildrops and the replies they must produce

def make_maildrop(root, user, messages):
    """messages: {name: content}; returns the user's folder."""
    folder = os.path.join(os.fsencode(root), user)
    os.makedirs(folder, exist_ok=True)
    for name, content in messages.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(content)
    return folder


def message_order(messages):
    """The contents in message-number order: plain names, sorted bytewise."""
    return [messages[n] for n in sorted(messages) if not n.startswith(b".")]


_LINE_END = re.compile(rb"\r\n|\r|\n")


def retr_reply(content):
    lines = _LINE_END.split(content)
    if lines[-1] == b"":
        lines.pop()
    out = [b"+OK "] + [b"." + l if l.startswith(b".") else l for l in lines] + [b"."]
    return b"\r\n".join(out) + b"\r\n"


def stat_reply(contents):
    return b"+OK %d %d\r\n" % (len(contents), sum(len(c) for c in contents))


def list_reply(contents):
    out = [b"+OK %d Messages\r\n" % len(contents)]
    out += [b"%d %d\r\n" % (i, len(c)) for i, c in enumerate(contents, 1)]
    return b"".join(out) + b".\r\n"


# --------------------------------------------------------------------------
# A blocking client with deadlines

class Client:
    def __init__(self, port, timeout=30.0, greet=True):
        self.timeout = timeout
        self.sock = socket.create_connection((HOST, port), timeout=timeout)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.buf = bytearray()
        self.eof = False
        if greet:
            self.expect(None, GREETING)

    def send(self, data):
        self.sock.sendall(data)

    def _fill(self, deadline):
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            raise Failure("no reply within %gs; have %s" % (self.timeout, short(self.buf)))
        self.sock.settimeout(remaining)
        try:
            chunk = self.sock.recv(1 << 20)
        except socket.timeout:
            raise Failure("no reply within %gs; have %s" % (self.timeout, short(self.buf)))
        except ConnectionResetError:
            chunk = b""
        self.eof = not chunk
        self.buf += chunk

    def read_until(self, marker):
        deadline = time.monotonic() + self.timeout
        start = 0
        while True:
            i = self.buf.find(marker, start)
            if i >= 0:
                out = bytes(self.buf[:i + len(marker)])
                del self.buf[:i + len(marker)]
                return out
            if self.eof:
                raise Failure("connection closed; have %s" % short(self.buf))
            start = max(0, len(self.buf) - len(marker) + 1)
            self._fill(deadline)

    def read_exact(self, n):
        deadline = time.monotonic() + self.timeout
        while len(self.buf) < n and not self.eof:
            self._fill(deadline)
        out = bytes(self.buf[:n])
        del self.buf[:n]
        return out

    def read_to_eof(self):
        deadline = time.monotonic() + self.timeout
        while not self.eof:
            self._fill(deadline)
        out = bytes(self.buf)
        self.buf.clear()
        return out

    def reply(self, line, multi=False):
        """Send one command; its whole reply (multi-line ones up to the dot line)."""
        if line is not None:
            self.send(line + b"\r\n")
        first = self.read_until(b"\r\n")
        if not (multi and first.startswith(b"+OK")):
            return first
        # With the first line's CR LF put back, the first "\r\n.\r\n" is the terminator,
        # also for an empty body (stuffed lines are never a lone dot).
        self.buf[:0] = b"\r\n"
        return first + self.read_until(b"\r\n.\r\n")[2:]

    def expect(self, line, want, multi=False):
        got = self.reply(line, multi)
        if got != want:
            raise Failure("%s -> %s, expected %s" % (line, short(got), short(want)))
        return got

    def login(self, user):
        self.expect(b"USER " + user, OK)
        self.expect(b"PASS " + user, OK)

    def close(self):
        self.sock.close()

    def reset(self):
        """Vanish with a reset (SO_LINGER 0) instead of a FIN."""
        reset_close(self.sock)


def reset_close(sock):
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\1\0\0\0\0\0\0\0")
    sock.close()


class Report:
    """Figures and missed thresholds of one scenario."""

    def __init__(self):
        self.figures = []
        self.problems = []

    def fig(self, name, value):
        self.figures.append("%s=%s" % (name, value))

    def check(self, ok, problem):
        if not ok:
            self.problems.append(problem)
        return ok

    def below(self, name, value, limit, unit=""):
        """A measured threshold: printed as name=value<limit, missed when value >= limit."""
        self.fig(name, "%.3g%s(<%g)" % (value, unit, limit))
        return self.check(value < limit, "%s %.3g%s, limit %g" % (name, value, unit, limit))
