"""AUTH (SASL PLAIN and LOGIN) with curl, in clear, after STLS and on the TLS port, checked
against the log's login lines. mpop's --auth=plain and --auth=login run in test_real_clients."""

import os
import subprocess
import unittest

from server_case import ServerTestCase
from drennik import HOST, write_file
from drennik.real_clients import crypt_hash, make_certificate, server_offers_tls

CURL = "/usr/bin/curl"
PASSWORD = "pl ain:pw"  # a blank and a colon: PLAIN and LOGIN carry both


def curl(*args):
    env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
    return subprocess.run([CURL, "-s", "--max-time", "60"] + list(args),
                          stdin=subprocess.DEVNULL, capture_output=True, timeout=90, env=env)


@unittest.skipUnless(os.access(CURL, os.X_OK), "curl not installed")
class SaslWithCurl(ServerTestCase):

    @classmethod
    def setUpClass(cls):
        if not server_offers_tls():
            raise unittest.SkipTest("this drennik has no TLS")
        super().setUpClass()

    @classmethod
    def prepare_class_root(cls):
        passwords = os.path.join(cls.base, "passwords")
        write_file(passwords, b"sam:" + crypt_hash(PASSWORD) + b"\n")
        os.chmod(passwords, 0o600)  # else a warning, which is no log line
        cls.cert, _ = cert, key = make_certificate(cls.base)
        cls.server_args = ("--passwords", passwords, "--tls-cert", cert, "--tls-key", key,
                           "--pop3s-port", "0")
        os.makedirs(os.path.join(cls.root, "sam"))
        write_file(os.path.join(cls.root, "sam", "m1"), b"Subject: s\r\n\r\nbody\r\n")

    def test_plain_and_login_in_clear_after_stls_and_on_the_tls_port(self):
        ways = [("clear", "pop3", self.server.port, []),
                ("stls", "pop3", self.server.port, ["--ssl-reqd"]),
                ("implicit", "pop3s", self.server.tls_port, [])]
        logins = 0
        for mechanism in ("PLAIN", "LOGIN"):
            for name, scheme, port, extra in ways:
                with self.subTest(mechanism=mechanism, way=name):
                    url = "%s://%s:%d/" % (scheme, HOST, port)
                    tls = ["--cacert", self.cert] + extra if name != "clear" else []
                    r = curl("-u", "sam:" + PASSWORD, "--login-options", "AUTH=" + mechanism,
                             *tls, url)
                    self.assertEqual(r.returncode, 0, r.stderr)
                    self.assertEqual(r.stdout, b"1 20\r\n")
                    logins += 1
                    login = self.server.wait_for_log("login", count=logins, user="sam")[-1]
                    self.assertEqual(login.get("method"), mechanism.encode())
                    self.assertEqual(login.get("tls"), b"no" if name == "clear" else b"yes")
                    wrong = curl("-u", "sam:wrong", "--login-options", "AUTH=" + mechanism,
                                 *tls, url)
                    self.assertEqual(wrong.returncode, 67, "login denied")
        failed = self.server.log("login-failed", user="sam")
        self.assertEqual(sorted({f.get("method") for f in failed}), [b"LOGIN", b"PLAIN"])
        self.assertNotIn(b"pl ain", self.server.stderr())


if __name__ == "__main__":
    unittest.main()
