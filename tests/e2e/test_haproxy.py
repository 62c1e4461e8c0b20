"""A real balancer: HAProxy in TCP mode with send-proxy-v2 and a health check in front of two
servers on one maildrop root with --lock-maildrop. A client on 127.0.0.5 runs 500 sessions
through it; the logs of both servers name 127.0.0.5, and every message is retrieved and
deleted exactly once."""

import os
import shutil
import socket
import subprocess
import threading
import time
import unittest

from drennik import (GREETING, Client, ConnectionClosed, Failure, ReplyTimeout, Server,
                     make_root, make_user, rmtree)

HAPROXY = shutil.which("haproxy") or ("/usr/sbin/haproxy"
                                      if os.path.exists("/usr/sbin/haproxy") else None)
CLIENT = "127.0.0.5"
MESSAGES = 500
WORKERS = 4
DEADLINE = 240

CONFIG = """global
    maxconn 200
defaults
    mode tcp
    timeout connect 5s
    timeout client 30s
    timeout server 30s
frontend pop3
    bind 127.0.0.1:{front}
    default_backend drennik
backend drennik
    balance roundrobin
    option tcp-check
    tcp-check expect string +OK
    server a 127.0.0.1:{a} send-proxy-v2 check check-send-proxy inter 500ms
    server b 127.0.0.1:{b} send-proxy-v2 check check-send-proxy inter 500ms
"""


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def body(i):
    return b"Subject: %d\r\n\r\nmessage %d\r\n" % (i, i)


@unittest.skipUnless(HAPROXY, "haproxy not installed (scripts/install-deps.sh)")
class Balanced(unittest.TestCase):

    def setUp(self):
        self.base = make_root(prefix="drennik-e2e-")
        self.root = os.path.join(self.base, "root")
        os.mkdir(self.root, 0o755)
        self.folder = make_user(self.root, "many",
                                {"%04d" % i: body(i) for i in range(MESSAGES)})
        args = ["--lock-maildrop", "--proxy-from", "127.0.0.1"]
        self.servers = [Server(self.root, args=args).start() for _ in range(2)]
        self.front = free_port()
        config = os.path.join(self.base, "haproxy.cfg")
        with open(config, "w") as f:
            f.write(CONFIG.format(front=self.front, a=self.servers[0].port,
                                  b=self.servers[1].port))
        self.haproxy = subprocess.Popen([HAPROXY, "-db", "-f", config],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)

    def tearDown(self):
        self.haproxy.terminate()
        try:
            self.haproxy.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.haproxy.kill()
            self.haproxy.wait(timeout=10)
        for s in self.servers:
            s.kill()
        rmtree(self.base)

    def session(self, taken):
        """One session: the first message retrieved and deleted; False when the maildrop is
        in use by another session (the lock) or the balancer had no server yet."""
        try:
            c = Client(self.front, greet=False, source=CLIENT, timeout=20)
        except OSError:
            return False
        with c:
            try:
                if c.read_line() != GREETING:
                    return False
                c.request(b"USER many")
                if not c.request(b"PASS many").startswith(b"+OK"):
                    return False  # [IN-USE]: the other server or session has it
                stat = c.request(b"STAT")
                if stat.startswith(b"+OK 0 "):
                    c.request(b"QUIT")
                    return True
                message = c.request(b"RETR 1", multi=True)
                self.assertTrue(c.request(b"DELE 1").startswith(b"+OK"))
                self.assertTrue(c.request(b"QUIT").startswith(b"+OK"))
            except (ConnectionClosed, ReplyTimeout, Failure, OSError):
                return False
        taken.append(message)
        return True

    def test_five_hundred_sessions_across_two_servers(self):
        # Both servers up: the health check has reached each (a LOCAL header, then +OK).
        for s in self.servers:
            s.wait_for_log("accept", timeout=30)
        taken = []
        lock = threading.Lock()
        sessions = [0]
        end = time.monotonic() + DEADLINE

        def work():
            while time.monotonic() < end:
                with lock:
                    if sessions[0] >= MESSAGES:
                        return
                    sessions[0] += 1
                if not self.session(taken):
                    with lock:
                        sessions[0] -= 1  # not a session: try again
                    time.sleep(0.01)

        threads = [threading.Thread(target=work) for _ in range(WORKERS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(DEADLINE + 30)
        self.assertEqual(len(taken), MESSAGES, "sessions done by the deadline")
        bodies = sorted(m.split(b"\r\n", 1)[1] for m in taken)
        self.assertEqual(bodies, sorted(body(i) + b".\r\n" for i in range(MESSAGES)),
                         "every message exactly once")
        self.assertEqual([n for n in os.listdir(self.folder) if not n.startswith(b".")], [],
                         "every message deleted")
        # Both servers served the client, and name it, not the balancer.
        for s in self.servers:
            logins = s.wait_for_log("login", user=b"many")
            self.assertTrue(logins[0]["client"].startswith(CLIENT.encode() + b":"))
            self.assertTrue(all(e["client"].startswith(CLIENT.encode() + b":")
                                for e in s.log("login")))
        self.assertIsNone(self.haproxy.poll(), "haproxy still running")


if __name__ == "__main__":
    unittest.main()
