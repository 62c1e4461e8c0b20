"""Shared helpers for the drennik end-to-end tests.

Starts and stops the real binary, builds maildrops on disk, talks POP3 over
raw loopback sockets and computes the bytes a RETR must produce.

The binary comes from the environment variable DRENNIK_BIN, falling back to
build/drennik at the top of the work tree.
"""

import atexit
import ctypes
import os
import queue
import re
import resource
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest

HOST = "127.0.0.1"
GREETING = b"+OK Drennik here\r\n"

# Deadlines only catch hangs; nothing below relies on them for ordering.
DEADLINE = 30.0
START_DEADLINE = 30.0
STOP_DEADLINE = 20.0

# A command no POP3 server here knows. Its reply marks "everything before it
# has been answered" and proves no stray bytes were sent in between.
SYNC_COMMAND = b"ZSYN"
SYNC_REPLY = b"-ERR ZSYN not supported\r\n"

_HERE = os.path.dirname(os.path.abspath(__file__))


def binary_path():
    path = os.environ.get("DRENNIK_BIN")
    if not path:
        path = os.path.join(_HERE, "..", "..", "build", "drennik")
    return os.path.abspath(path)


def require_binary():
    path = binary_path()
    if not (os.path.isfile(path) and os.access(path, os.X_OK)):
        raise AssertionError(
            "drennik binary not found or not executable: %s "
            "(set DRENNIK_BIN or pass --binary to run_e2e.py)" % path)
    return path


def server_env(extra=None):
    env = dict(os.environ)
    env["QT_QPA_PLATFORM"] = "offscreen"
    env.setdefault("LC_ALL", "C.UTF-8")
    if extra:
        env.update(extra)
    return env


# ---------------------------------------------------------------------------
# Process bookkeeping: every process started here is killed at interpreter
# exit, and the kernel kills it if this process dies first.

_live_procs = set()
_live_lock = threading.Lock()

try:
    _libc = ctypes.CDLL(None, use_errno=True)
except OSError:  # pragma: no cover - glibc is always there on Linux
    _libc = None
_PR_SET_PDEATHSIG = 1


def _register(proc):
    with _live_lock:
        _live_procs.add(proc)


def _unregister(proc):
    with _live_lock:
        _live_procs.discard(proc)


def kill_all_processes():
    with _live_lock:
        procs = list(_live_procs)
    for proc in procs:
        if proc.poll() is None:
            try:
                proc.kill()
            except OSError:
                pass
        try:
            proc.wait(timeout=STOP_DEADLINE)
        except subprocess.TimeoutExpired:
            pass
        _unregister(proc)


atexit.register(kill_all_processes)


def _make_preexec(nofile=None, uid=None, gid=None):
    def preexec():
        if _libc is not None:
            _libc.prctl(_PR_SET_PDEATHSIG, int(signal.SIGKILL), 0, 0, 0)
        if nofile is not None:
            resource.setrlimit(resource.RLIMIT_NOFILE, (nofile, nofile))
        if gid is not None:
            os.setgroups([])
            os.setgid(gid)
        if uid is not None:
            os.setuid(uid)
    return preexec


class _PipeReader(threading.Thread):
    """Drains one pipe of the child so it never blocks on a full pipe."""

    def __init__(self, pipe, lines=None):
        super().__init__(daemon=True)
        self.pipe = pipe
        self.lines = lines
        self.data = bytearray()
        self.lock = threading.Lock()

    def run(self):
        try:
            for line in iter(self.pipe.readline, b""):
                with self.lock:
                    self.data += line
                if self.lines is not None:
                    self.lines.put(line)
        finally:
            if self.lines is not None:
                self.lines.put(None)

    def snapshot(self):
        with self.lock:
            return bytes(self.data)


class Server:
    """One drennik process listening on loopback."""

    LISTEN_RE = re.compile(rb"listening on port (\d+)")

    def __init__(self, root, port=0, args=(), nofile=None, uid=None, gid=None,
                 env=None):
        self.root = root
        self.requested_port = port
        self.args = list(args)
        self.nofile = nofile
        self.uid = uid
        self.gid = gid
        self.env = server_env(env)
        self.proc = None
        self.port = None
        self.returncode = None

    def command(self):
        cmd = [require_binary(), "--port", str(self.requested_port)]
        if self.root is not None:
            cmd += ["--root", self.root]
        return cmd + self.args

    def start(self, wait=True):
        self._lines = queue.Queue()
        self.proc = subprocess.Popen(
            self.command(), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=subprocess.PIPE, env=self.env, close_fds=True,
            preexec_fn=_make_preexec(self.nofile, self.uid, self.gid))
        _register(self.proc)
        self._out = _PipeReader(self.proc.stdout, self._lines)
        self._err = _PipeReader(self.proc.stderr)
        self._out.start()
        self._err.start()
        if wait:
            self.port = self.wait_listening()
        return self

    def wait_listening(self, timeout=START_DEADLINE):
        deadline = time.monotonic() + timeout
        while True:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise AssertionError(
                    "drennik printed no 'listening on port N' within %ss; "
                    "stdout=%r stderr=%r" % (timeout, self.stdout(), self.stderr()))
            try:
                line = self._lines.get(timeout=remaining)
            except queue.Empty:
                continue
            if line is None:
                rc = self.proc.wait(timeout=STOP_DEADLINE)
                raise AssertionError(
                    "drennik exited with %s before listening; stdout=%r stderr=%r"
                    % (rc, self.stdout(), self.stderr()))
            m = self.LISTEN_RE.search(line)
            if m:
                return int(m.group(1))

    def stdout(self):
        return self._out.snapshot() if self.proc else b""

    def stderr(self):
        return self._err.snapshot() if self.proc else b""

    @property
    def pid(self):
        return self.proc.pid

    def alive(self):
        return self.proc is not None and self.proc.poll() is None

    def wait(self, timeout=STOP_DEADLINE):
        """Wait for exit; returns the status or None when still running."""
        try:
            rc = self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            return None
        self._finish()
        return rc

    def _finish(self):
        self.returncode = self.proc.returncode
        self._out.join(STOP_DEADLINE)
        self._err.join(STOP_DEADLINE)
        for pipe in (self.proc.stdout, self.proc.stderr):
            if not (self._out.is_alive() or self._err.is_alive()):
                pipe.close()
        _unregister(self.proc)

    def stop(self, sig=signal.SIGTERM, timeout=STOP_DEADLINE):
        """Signal the server and wait; kills it if it does not exit in time.

        Returns the exit status, or None when it had to be killed."""
        if self.proc is None:
            return None
        if self.proc.poll() is not None:
            self._finish()
            return self.returncode
        try:
            self.proc.send_signal(sig)
        except OSError:
            pass
        try:
            self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait(timeout=STOP_DEADLINE)
            self._finish()
            return None
        self._finish()
        return self.returncode

    def kill(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(timeout=STOP_DEADLINE)
        if self.proc is not None:
            self._finish()

    def connect(self, greet=True, timeout=DEADLINE):
        return Client(self.port, greet=greet, timeout=timeout)

    def cpu_seconds(self):
        """User plus system CPU time the server has used so far."""
        with open("/proc/%d/stat" % self.pid, "rb") as f:
            fields = f.read().rsplit(b")", 1)[1].split()
        ticks = os.sysconf("SC_CLK_TCK")
        return (int(fields[11]) + int(fields[12])) / ticks

    def open_fds(self):
        return len(os.listdir("/proc/%d/fd" % self.pid))


def run_once(args, timeout=DEADLINE, env=None):
    """Run drennik with the given arguments to completion (or kill it)."""
    proc = subprocess.Popen(
        [require_binary()] + list(args), stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=server_env(env),
        close_fds=True, preexec_fn=_make_preexec())
    _register(proc)
    try:
        out, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        out, err = proc.communicate(timeout=STOP_DEADLINE)
        raise AssertionError("drennik %r did not exit within %ss; stdout=%r stderr=%r"
                             % (args, timeout, out, err))
    finally:
        _unregister(proc)
    return proc.returncode, out, err


# ---------------------------------------------------------------------------
# Maildrops

def make_root(prefix="drennik-e2e-"):
    """A fresh temporary folder removed when the test (or class) finishes."""
    path = tempfile.mkdtemp(prefix=prefix)
    os.chmod(path, 0o755)
    return path


def fs(name):
    return name if isinstance(name, bytes) else os.fsencode(name)


def make_user(root, user, messages=None):
    """Create ROOT/USER with the given {file name: content} messages."""
    folder = os.path.join(fs(root), fs(user))
    os.makedirs(folder, exist_ok=True)
    for name, content in (messages or {}).items():
        with open(os.path.join(folder, fs(name)), "wb") as f:
            f.write(content)
    return folder


def write_file(path, content):
    with open(fs(path), "wb") as f:
        f.write(content)


def read_file(path):
    with open(fs(path), "rb") as f:
        return f.read()


# ---------------------------------------------------------------------------
# What RETR must produce for a file

_LINE_END = re.compile(rb"\r\n|\r|\n")


def message_lines(data):
    """The file's lines: CR LF, lone CR and lone LF each end a line."""
    lines = _LINE_END.split(data)
    if lines and lines[-1] == b"":
        lines.pop()
    return lines


def retr_body(data):
    """Dot-stuffed lines, each ending CR LF, then the terminating dot line."""
    out = [(b"." + line if line.startswith(b".") else line) for line in message_lines(data)]
    out.append(b".")
    return b"\r\n".join(out) + b"\r\n"


def retr_reply(data):
    return b"+OK \r\n" + retr_body(data)


def unstuffed(data):
    """What a client that removes the stuffing must end up with."""
    lines = message_lines(data)
    if not lines:
        return b""
    return b"\r\n".join(lines) + b"\r\n"


def stat_reply(sizes):
    return b"+OK %d %d\r\n" % (len(sizes), sum(sizes))


def list_reply(sizes):
    out = b"+OK %d Messages\r\n" % len(sizes)
    for i, size in enumerate(sizes, 1):
        out += b"%d %d\r\n" % (i, size)
    return out + b".\r\n"


# ---------------------------------------------------------------------------
# Raw POP3 client

class ReplyTimeout(AssertionError):
    pass


class ConnectionClosed(AssertionError):
    pass


class Client:
    """A POP3 connection that reads by byte patterns with deadlines."""

    def __init__(self, port, greet=True, timeout=DEADLINE, connect_timeout=None):
        self.timeout = timeout
        self.sock = socket.create_connection(
            (HOST, port), timeout=connect_timeout or timeout)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.buf = bytearray()
        self.eof = False
        self.reset = False
        if greet:
            got = self.read_line()
            if got != GREETING:
                raise AssertionError("greeting %r, expected %r" % (got, GREETING))

    # -- low level --------------------------------------------------------
    def send(self, data):
        self.sock.sendall(data)

    def _fill(self, deadline, what):
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            raise ReplyTimeout("no %s within %ss; received so far %r"
                               % (what, self.timeout, _short(self.buf)))
        self.sock.settimeout(remaining)
        try:
            self._take(1 << 20)
        except socket.timeout:
            raise ReplyTimeout("no %s within %ss; received so far %r"
                               % (what, self.timeout, _short(self.buf)))

    def _take(self, size):
        """One recv into the buffer; a reset counts as the end of the stream."""
        try:
            chunk = self.sock.recv(size)
        except ConnectionResetError:
            self.reset = True
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
                raise ConnectionClosed("connection closed before %r; received %r"
                                       % (marker, _short(self.buf)))
            self._fill(deadline, what or repr(marker))

    def read_exact(self, n, timeout=None):
        deadline = time.monotonic() + (timeout or self.timeout)
        while len(self.buf) < n:
            if self.eof:
                raise ConnectionClosed("connection closed after %d of %d bytes: %r"
                                       % (len(self.buf), n, _short(self.buf)))
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
        """True when a byte (or EOF) arrives within `seconds`; used only to
        detect replies that must not come."""
        if self.buf or self.eof:
            return True
        self.sock.settimeout(seconds)
        try:
            self._take(1 << 16)
        except socket.timeout:
            return False
        return True

    # -- POP3 ------------------------------------------------------------
    def request(self, line, multi=False):
        """Send one command line; return its whole reply.

        With multi=True a positive reply is read up to the terminating
        dot line."""
        self.send(line + b"\r\n")
        return self.read_reply(multi)

    def read_reply(self, multi=False):
        first = self.read_line()
        if multi and first.startswith(b"+OK"):
            self.buf[:0] = first
            return self.read_until(b"\r\n.\r\n", what="end of multi-line reply")
        return first

    def login(self, user, password=None):
        user = fs(user)
        password = user if password is None else fs(password)
        got = self.request(b"USER " + user)
        if got != b"+OK\r\n":
            raise AssertionError("USER %r -> %r" % (user, got))
        got = self.request(b"PASS " + password)
        if got != b"+OK\r\n":
            raise AssertionError("PASS %r -> %r" % (password, got))

    def sync(self):
        """Prove that nothing unexpected is queued before the next reply."""
        self.send(SYNC_COMMAND + b"\r\n")
        got = self.read_line()
        if got != SYNC_REPLY:
            raise AssertionError("stray bytes before the next reply: %r (then %r)"
                                 % (got, _short(self.buf)))

    def pipeline(self, lines):
        """Send all lines in one write plus the sync command; return all the
        bytes answered before the sync reply."""
        self.send(b"".join(l + b"\r\n" for l in lines) + SYNC_COMMAND + b"\r\n")
        data = self.read_until(SYNC_REPLY, what="replies to the pipelined commands")
        return data[:-len(SYNC_REPLY)]

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass

    def abort(self):
        """Close with a reset instead of an orderly FIN."""
        try:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                 b"\x01\x00\x00\x00\x00\x00\x00\x00")
        except OSError:
            pass
        self.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def _short(data, limit=600):
    data = bytes(data)
    if len(data) <= limit:
        return data
    return data[:limit // 2] + b"...<%d bytes>..." % len(data) + data[-limit // 2:]


def wait_for(predicate, timeout=DEADLINE, interval=0.05, what="condition"):
    """Poll a condition until it holds; fail on the deadline."""
    deadline = time.monotonic() + timeout
    while True:
        if predicate():
            return
        if time.monotonic() >= deadline:
            raise AssertionError("timed out after %ss waiting for %s" % (timeout, what))
        time.sleep(interval)


# ---------------------------------------------------------------------------
# Test case bases

class ServerTestCase(unittest.TestCase):
    """One server and one maildrop root shared by the tests of a class."""

    server_args = ()

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.base = make_root()
        cls.root = os.path.join(cls.base, "root")
        os.mkdir(cls.root)
        os.chmod(cls.root, 0o755)
        cls.prepare_class_root()
        cls.server = Server(cls.root, args=cls.server_args)
        try:
            cls.server.start()
        except BaseException:
            cls.server.kill()
            _rmtree(cls.base)
            raise

    @classmethod
    def prepare_class_root(cls):
        pass

    @classmethod
    def tearDownClass(cls):
        try:
            cls.server.stop()
        finally:
            _rmtree(cls.base)
            super().tearDownClass()

    def setUp(self):
        super().setUp()
        self.assertTrue(self.server.alive(),
                        "server died earlier; stderr=%r" % self.server.stderr())
        self._clients = []

    def tearDown(self):
        for c in self._clients:
            c.close()
        alive = self.server.alive()
        super().tearDown()
        if not alive:
            self.fail("server exited during the test with %s; stderr=%r"
                      % (self.server.proc.returncode, self.server.stderr()))

    def connect(self, **kw):
        c = self.server.connect(**kw)
        self._clients.append(c)
        return c

    def assert_replies(self, client, cases):
        """Each (line, multi-line?, expected reply) in turn, then no stray bytes."""
        for line, multi, expected in cases:
            with self.subTest(line=line):
                self.assertEqual(client.request(line, multi), expected)
        client.sync()

    _counter = 0

    def new_user(self, messages=None, prefix="u"):
        """A user with a unique name in this class's root."""
        ServerTestCase._counter += 1
        name = "%s%d" % (prefix, ServerTestCase._counter)
        make_user(self.root, name, messages or {})
        return name

    def user_dir(self, user):
        return os.path.join(fs(self.root), fs(user))


def _rmtree(path):
    def onerror(func, p, exc):
        try:
            os.chmod(os.path.dirname(p), 0o755)
            func(p)
        except OSError:
            pass
    shutil.rmtree(path, onerror=onerror)


rmtree = _rmtree
