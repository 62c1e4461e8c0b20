"""The configuration file (--config) and --check."""

import os
import socket

import server_case
from drennik import HOST, make_root, make_user, rmtree, run_once, write_file
from drennik.real_clients import crypt_hash, make_certificate


def settings(printout):
    """The "name = value" lines of a --check printout as a dict."""
    pairs = [line.split(b" =", 1) for line in printout.splitlines()]
    return {name.decode(): value.strip().decode() for name, value in pairs}


class ConfigurationFile(server_case.OwnServersTestCase):

    def setUp(self):
        super().setUp()
        self.base = make_root()
        self.root = os.path.join(self.base, "root")
        os.mkdir(self.root, 0o755)
        make_user(self.root, "s", {"1": b"hello\r\n"})
        self.cert, self.key = make_certificate(self.base)
        self.passwords = os.path.join(self.base, "passwords")
        self.hash = crypt_hash("s3cret")
        write_file(self.passwords, b"s:" + self.hash + b"\n")
        for secret in (self.key, self.passwords):
            os.chmod(secret, 0o600)
        # Started by root, a root-owned maildrop root needs the server told to stay root.
        self.as_root = "user = root\n" if os.geteuid() == 0 else ""

    def tearDown(self):
        super().tearDown()
        rmtree(self.base)

    def config(self, text, name="drennik.conf"):
        path = os.path.join(self.base, name)
        write_file(path, text.encode())
        return path

    def test_check_prints_the_settings_binds_nothing_and_reads_back(self):
        holder = socket.socket()
        self.addCleanup(holder.close)
        holder.bind((HOST, 0))
        holder.listen(1)
        port = holder.getsockname()[1]  # taken: a server that tried it would fail
        conf = self.config("# the test's server\n\nport = %d\nroot = %s\npasswords = %s\n"
                           "  tls-cert=%s\ntls-key = %s\nrequire-tls = yes\nidle-timeout = 5\n%s"
                           % (port, self.root, self.passwords, self.cert, self.key, self.as_root))
        # No display to be had: a check that started Qt would say so.
        rc, out, err = run_once(["--check", "--config", conf, "--idle-timeout", "30",
                                 "--max-per-address=7"],
                                env={"QT_QPA_PLATFORM": None, "DISPLAY": ":99",
                                     "WAYLAND_DISPLAY": None})
        self.assertEqual((rc, err), (0, b""), out)
        got = settings(out)
        self.assertEqual({name: got[name] for name in (
            "port", "root", "passwords", "tls-cert", "tls-key", "require-tls", "idle-timeout",
            "max-per-address", "max-connections", "tls-self-signed", "pop3s-port")},
            {"port": str(port), "root": self.root, "passwords": self.passwords,
             "tls-cert": self.cert, "tls-key": self.key, "require-tls": "yes",
             "idle-timeout": "30", "max-per-address": "7", "max-connections": "10000",
             "tls-self-signed": "no", "pop3s-port": ""})
        self.assertNotIn(self.hash, out)
        self.assertNotIn(b"PRIVATE KEY", out)
        self.assertNotIn(b"listening", out)
        # The printout is a configuration file giving the same settings.
        again = self.config(out.decode(), "printed.conf")
        self.assertEqual(run_once(["--check", "--config", again]), (0, out, b""))

    def test_check_tells_every_problem_on_its_own_line(self):
        missing_root = os.path.join(self.base, "no-root")
        bad_passwords = os.path.join(self.base, "bad-passwords")
        write_file(bad_passwords, b"# users\nalice has no hash\n")
        os.chmod(bad_passwords, 0o600)
        conf = self.config("root = %s\npasswords = %s\ntls-cert = %s\ntls-key = %s\n%s"
                           % (missing_root, bad_passwords, os.path.join(self.base, "none.pem"),
                              self.key, self.as_root))
        rc, out, err = run_once(["--check", "--config", conf])
        self.assertEqual((rc, out), (2, b""), err)
        lines = err.splitlines()
        self.assertEqual(len(lines), 3, err)
        self.assertTrue(all(line.startswith(b"drennik: ") for line in lines), err)
        for says in (b"cannot read", bad_passwords.encode() + b" line 2: expected user:hash",
                     missing_root.encode() + b" does not exist"):
            self.assertEqual(len([line for line in lines if says in line]), 1, (says, err))

        # Bad lines of the file: each told, no usage, whether checking or starting.
        conf = self.config("port = 110\nport 111\n\nbogus = 1\nrequire-tls = maybe\n")
        for args in (["--check"], ["--port", "0", "--root", self.root]):
            with self.subTest(args=args):
                rc, out, err = run_once(args + ["--config", conf])
                self.assertEqual((rc, out), (2, b""), err)
                self.assertEqual(err.decode().splitlines(), [
                    "drennik: %s line 2: expected \"name = value\"" % conf,
                    "drennik: %s line 4: unknown option: bogus" % conf,
                    "drennik: %s line 5: require-tls takes yes or no, not maybe" % conf])

    def test_a_started_server_runs_with_the_file_under_the_command_line(self):
        holder = socket.socket()
        self.addCleanup(holder.close)
        holder.bind((HOST, 0))
        holder.listen(1)
        # The file's port and root are overridden by those the test server is given.
        conf = self.config("port = %d\nroot = %s\nmax-per-address = 1\n"
                           % (holder.getsockname()[1], os.path.join(self.base, "elsewhere")))
        s = self.server(args=["--config", conf]).start()
        with s.connect() as first:
            first.login("s")
            with s.connect(greet=False) as second:
                self.assertEqual(second.read_line(), b"-ERR too many connections\r\n")
            first.sync()
        self.assertEqual(s.stop(), 0)


if __name__ == "__main__":
    import unittest
    unittest.main()
