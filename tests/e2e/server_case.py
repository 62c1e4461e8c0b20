"""The unittest base of the end-to-end tests: one server and one maildrop root shared
by the tests of a class. Importing it puts the shared fixture (tests/pylib) on the path."""

import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "pylib"))

from drennik import Server, fs, make_root, make_user, rmtree  # noqa: E402


class ServerTestCase(unittest.TestCase):

    server_args = ()

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.base = make_root(prefix="drennik-e2e-")
        cls.root = os.path.join(cls.base, "root")
        os.mkdir(cls.root)
        os.chmod(cls.root, 0o755)
        cls.prepare_class_root()
        cls.server = Server(cls.root, args=cls.server_args)
        try:
            cls.server.start()
        except BaseException:
            rmtree(cls.base)
            raise

    @classmethod
    def prepare_class_root(cls):
        pass

    @classmethod
    def tearDownClass(cls):
        try:
            cls.server.stop()
        finally:
            rmtree(cls.base)
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


class OwnServersTestCase(unittest.TestCase):
    """Tests that start servers of their own, each stopped (killed) when the test ends."""

    def setUp(self):
        self.servers = []

    def tearDown(self):
        for s in self.servers:
            s.kill()

    def server(self, root=None, **kw):
        s = Server(root or self.root, **kw)
        self.servers.append(s)
        return s
