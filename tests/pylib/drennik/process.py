"""The drennik process: started on a free loopback port, stopped by signal, and killed
at the latest when this interpreter exits (or by the kernel when it dies first)."""

import atexit
import ctypes
import os
import queue
import re
import resource
import signal
import subprocess
import threading
import time

from . import log, probes
from .common import DEADLINE, START_DEADLINE, STOP_DEADLINE, Failure, short, wait_until
from .pop3 import Client

_REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", ".."))


def binary_path():
    """$DRENNIK_BIN, else build/drennik at the top of the work tree."""
    return os.path.abspath(os.environ.get("DRENNIK_BIN")
                           or os.path.join(_REPO, "build", "drennik"))


def require_binary(path=None):
    path = path or binary_path()
    if not (os.path.isfile(path) and os.access(path, os.X_OK)):
        raise Failure("drennik binary not found or not executable: %s "
                      "(set DRENNIK_BIN or pass --binary)" % path)
    return path


def server_env(extra=None):
    env = dict(os.environ)
    env["QT_QPA_PLATFORM"] = "offscreen"
    env.setdefault("LC_ALL", "C.UTF-8")
    for name, value in (extra or {}).items():
        if value is None:
            env.pop(name, None)  # None takes a variable away
        else:
            env[name] = value
    return env


# ---------------------------------------------------------------------------
# Every process started here, so that none outlives the run.

_live = set()
_live_lock = threading.Lock()
_libc = ctypes.CDLL(None, use_errno=True)
_PR_SET_PDEATHSIG = 1


def _register(proc):
    with _live_lock:
        _live.add(proc)


def _unregister(proc):
    with _live_lock:
        _live.discard(proc)


def kill_all_processes():
    """Kill every process started here that is still running."""
    with _live_lock:
        procs = list(_live)
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
    """One drennik process listening on loopback.

    start() returns once it has printed "listening on port N"; as a context manager
    it is started on entry (unless already running) and killed on exit."""

    LISTEN_RE = re.compile(rb"listening on port (\d+)")
    TLS_LISTEN_RE = re.compile(rb"listening on TLS port (\d+)")

    def __init__(self, root, binary=None, port=0, args=(), nofile=None, uid=None, gid=None,
                 env=None, stay_root=True):
        self.root = root
        # Started by root, the server refuses a root-owned maildrop root unless told to stay
        # root; tests of the switch itself say stay_root=False.
        self.stay_root = stay_root
        self.binary = binary
        self.requested_port = port
        self.args = list(args)
        self.nofile = nofile
        self.uid = uid
        self.gid = gid
        self.env = server_env(env)
        self.proc = None
        self.port = None
        self.tls_port = None  # with --pop3s-port: the implicit-TLS port
        self.returncode = None

    def command(self):
        cmd = [require_binary(self.binary), "--port", str(self.requested_port)]
        if self.root is not None:
            cmd += ["--root", self.root]
        if (self.stay_root and self.uid is None and os.geteuid() == 0
                and "--user" not in self.args):
            cmd += ["--user", "root"]
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
            try:
                self.port = self.wait_listening()
                if "--pop3s-port" in self.args:
                    self.tls_port = self.wait_listening(pattern=self.TLS_LISTEN_RE)
            except BaseException:
                self.kill()
                raise
        return self

    def __enter__(self):
        if self.proc is None:
            self.start()
        return self

    def __exit__(self, *exc):
        self.kill()

    def wait_listening(self, timeout=START_DEADLINE, pattern=None):
        pattern = pattern or self.LISTEN_RE
        deadline = time.monotonic() + timeout
        while True:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise Failure("drennik printed no 'listening on port N' within %gs; "
                              "stdout=%r stderr=%r" % (timeout, self.stdout(), self.stderr()))
            try:
                line = self._lines.get(timeout=remaining)
            except queue.Empty:
                continue
            if line is None:
                rc = self.proc.wait(timeout=STOP_DEADLINE)
                raise Failure("drennik exited with %s before listening; stdout=%r stderr=%r"
                              % (rc, self.stdout(), self.stderr()))
            m = pattern.search(line)
            if m:
                return int(m.group(1))

    def stdout(self):
        return self._out.snapshot() if self.proc else b""

    def stderr(self):
        return self._err.snapshot() if self.proc else b""

    def log(self, name=None, **fields):
        """The log lines on standard error so far, as events (drennik.log), of `name` and
        with the given field values if given. Fails on any line that is not a log line."""
        return log.events(self.stderr(), name, **fields)

    def wait_for_log(self, name, count=1, timeout=DEADLINE, **fields):
        """The first `count` events of `name` with the given field values, once there."""
        def found():
            lines = self.log(name, **fields)
            return lines[:count] if len(lines) >= count else None
        return wait_until(found, timeout, "%d log line(s) event=%s %r" % (count, name, fields))

    @property
    def pid(self):
        return self.proc.pid

    def alive(self):
        return self.proc is not None and self.proc.poll() is None

    def ensure_alive(self):
        if not self.alive():
            raise Failure("server died with status %s; stderr %s"
                          % (self.proc.returncode if self.proc else None,
                             short(self.stderr(), 400)))

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

    # -- what /proc says about it ------------------------------------------
    def open_fds(self):
        return probes.open_fds(self.pid)

    def rss_kib(self):
        return probes.rss_kib(self.pid)

    def cpu_seconds(self):
        return probes.cpu_seconds(self.pid)

    def ids(self):
        return probes.ids(self.pid)

    def accept_queue(self):
        """Connections waiting for the server to accept them."""
        return probes.accept_queue(self.port)

    def idle_fds(self, timeout=10.0):
        """The descriptor count once no connection is open any more, only the listening
        socket. Fails when connections are still open at the deadline."""
        def quiet():
            targets = probes.fd_targets(self.pid)
            sockets = sum(t.startswith("socket:") for t in targets)
            return len(targets) if sockets == 1 else None
        return wait_until(quiet, timeout, "all connections closed by the server", interval=0.05)


def run_once(args, timeout=DEADLINE, env=None, binary=None):
    """Run drennik with the given arguments to completion (or kill it)."""
    proc = subprocess.Popen(
        [require_binary(binary)] + list(args), stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=server_env(env),
        close_fds=True, preexec_fn=_make_preexec())
    _register(proc)
    try:
        out, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        out, err = proc.communicate(timeout=STOP_DEADLINE)
        raise Failure("drennik %r did not exit within %gs; stdout=%r stderr=%r"
                      % (args, timeout, out, err))
    finally:
        _unregister(proc)
    return proc.returncode, out, err
