"""The mail clients people run, from Debian: fetchmail, mpop and getmail6 against the server.

Each client runs on its defaults apart from host, port, credentials, trusting the test's
certificate and where it delivers, with its home, configuration and state (fetchmail's
.fetchids, mpop's UIDL file, getmail's oldmail file) in the test's folder. For each:

  - everything is fetched, and each delivered message equals its file byte for byte once
    exactly what the client adds is taken off again (its Received and similar header fields
    on top, an mbox From_ line and mboxrd quoting);
  - kept on the server, a second run fetches only the message added since the first (the
    clients tell old from new mail by the server's UIDL), and a third fetches nothing;
  - not kept, the messages are fetched and their files are gone afterwards.

Message files use LF line ends, as mail on Unix does: the server sends CR LF, and each
client writes its local format, LF, back. Addresses are fully qualified, so fetchmail's
default address rewriting has nothing to do.

The switches the defaults make necessary:
  - mpop: without TLS it considers only authentication methods that avoid sending the
    password in clear, and the server has only USER/PASS; `--auth=user` allows it. TLS
    is off by default, so the TLS variants turn it on (`--tls=on`; STLS is its default
    way, `--tls-starttls=off` for the TLS port).
  - fetchmail: since 6.4 it checks certificates by default (sslcertck), which makes TLS
    mandatory: it sends STLS even where the capabilities do not list it and gives up on the
    -ERR. Without TLS, `--sslproto ''` is its documented switch for a plain connection. With
    TLS nothing is needed but the trust (`--sslcertfile`); `--ssl` selects the TLS port.
  - getmail6: its POP3 retrievers have no STLS; TLS is the SimplePOP3SSLRetriever on the
    TLS port.

The TLS variants run against a server started with --require-tls, so a client that logs in
at all has encrypted its connection; they are skipped when the server does not list
--tls-cert in its --help.
"""

import os
import re
import shutil
import textwrap
import unittest

from server_case import ServerTestCase
from drennik import fs, make_user, read_file, require_binary, write_file
from drennik.replies import retr_reply, sizes_of, stat_reply
from drennik.real_clients import (NUMBERED_FILE_MDA, crypt_hash, make_certificate,
                                  make_home, make_maildir, read_maildir, read_numbered, run_client,
                                  server_offers_tls, split_mboxrd, take_fields, write_private)

FETCHMAIL = shutil.which("fetchmail")
MPOP = shutil.which("mpop")
GETMAIL = shutil.which("getmail")

# Passwords unlike the user names, with characters a configuration file must quote.
PASSWORDS = {"keeper": "k33p it 'all'", "taker": "t@ke#it%all", "giver": "g1ve it", "reader": "re@d it"}


def mail(tag):
    """Messages by file name. The names are unique-ids the server can use as they are."""
    head = ("From: Alice Example <alice@example.org>\nTo: Bob Example <bob@example.net>\n"
            "Date: Mon, 07 Dec 2026 10:00:%02d +0000\n")
    msgs = {
        "1765101600.M1P7.example": head % 1 + (
            "Subject: plain %s\nMessage-ID: <%s.1@example.org>\n\nHello Bob.\n" % (tag, tag)),
        "1765101601.M2P7.example": head % 2 + (
            "Subject: dots and From lines %s\nMessage-ID: <%s.2@example.org>\n\n"
            ".\n..\n.leading dot\n...\nFrom the start of a line\n>From quoted once\n"
            ">>From quoted twice\n \n\nend\n" % (tag, tag)),
        # 998 characters, the longest line RFC 5322 allows: fetchmail cuts longer ones.
        "1765101602.M3P7.example": (head % 3).encode() + (
            "Subject: =?UTF-8?Q?8_bit_=C3=BC?= %s\nMessage-ID: <%s.3@example.org>\n"
            "X-Folded: first part\n\tsecond part\n  third part\nMIME-Version: 1.0\n"
            "Content-Type: text/plain; charset=UTF-8\nContent-Transfer-Encoding: 8bit\n\n"
            "Grüße, ünïcödé, \u20ac\n" % (tag, tag)).encode() + b"x" * 998 + b"\n\tend\n",
        "1765101603.M4P7.example": (head % 4 + (
            "Subject: long %s\nMessage-ID: <%s.4@example.org>\n\n" % (tag, tag))).encode()
            + b"".join(b"line %06d of a longer message, dot next:\n.%d\n" % (i, i)
                       for i in range(6000)),
        "1765101604.M5P7.example": head % 5 + (
            "Subject: no body %s\nMessage-ID: <%s.5@example.org>\n\n" % (tag, tag)),
    }
    return {name: m if isinstance(m, bytes) else m.encode() for name, m in msgs.items()}


def new_mail(tag):
    return ("From: Carol Example <carol@example.org>\nTo: Bob Example <bob@example.net>\n"
            "Date: Mon, 07 Dec 2026 11:00:00 +0000\nSubject: new %s\n"
            "Message-ID: <%s.new@example.org>\n\nArrived between two runs.\n"
            % (tag, tag)).encode()


class RealClientTests:
    """Mixed into a ServerTestCase: one server per class. `tls` is None (the plain port, no
    TLS on the server), "stls" (the plain port, the client upgrades with STLS) or "implicit"
    (the TLS port)."""

    tls = None
    self_signed = False  # the server makes its certificate; the client trusts its fingerprint

    @classmethod
    def setUpClass(cls):
        if cls.tls and not server_offers_tls():
            raise unittest.SkipTest("this drennik has no TLS (--help lists no --tls-cert)")
        super().setUpClass()

    @classmethod
    def prepare_class_root(cls):
        cls.passwords = os.path.join(cls.base, "passwords")
        write_file(cls.passwords, b"".join(b"%s:%s\n" % (fs(u), crypt_hash(p))
                                           for u, p in PASSWORDS.items()))
        args = ["--passwords", cls.passwords]
        if cls.tls and cls.self_signed:
            args += ["--tls-self-signed", "--pop3s-port", "0", "--require-tls"]
        elif cls.tls:
            cls.cert, cls.key = make_certificate(cls.base)
            args += ["--tls-cert", cls.cert, "--tls-key", cls.key, "--pop3s-port", "0",
                     "--require-tls"]
        cls.server_args = tuple(args)

    def setUp(self):
        super().setUp()
        self.home = make_home(os.path.join(self.base, self.id().rsplit(".", 1)[-1] + "-home"))

    def fingerprint(self):
        m = re.search(rb"TLS certificate SHA-256 fingerprint ([0-9A-F:]{95})\n",
                      self.server.stdout())
        self.assertTrue(m, "no fingerprint printed: %r" % self.server.stdout())
        return m.group(1).decode()

    def port(self):
        return self.server.tls_port if self.tls == "implicit" else self.server.port

    # -- to be given by each client ----------------------------------------------------
    def fetch(self, user, keep):
        """Run the client once for `user`; returns the ClientRun."""
        raise NotImplementedError

    def delivered(self):
        """Every message delivered so far, as the client wrote it, in delivery order where
        the store has one."""
        raise NotImplementedError

    def unwrapped(self, message):
        """A delivered message with exactly what the client adds taken off."""
        raise NotImplementedError

    ordered = True  # the store keeps the delivery order
    success = (0,)  # exit statuses of a run that fetched mail
    nothing = (0,)  # ... and of one that found nothing new

    # -- the checks ----------------------------------------------------------------------
    def run_ok(self, user, keep, statuses):
        run = self.fetch(user, keep)
        self.assertIn(run.status, statuses, run.log())
        return run

    def assert_delivered(self, expected, already, run):
        """The messages delivered after the first `already` are exactly `expected`."""
        got = [self.unwrapped(m) for m in self.delivered()[already:]]
        if not self.ordered:
            got.sort()
            expected = sorted(expected)
        self.assertEqual(len(got), len(expected), run.log())
        for i, (g, e) in enumerate(zip(got, expected)):
            if g != e:
                at = next((k for k, (a, b) in enumerate(zip(g, e)) if a != b), min(len(g), len(e)))
                self.fail("message %d of %d differs from byte %d on (%d bytes, %d expected): "
                          "got %r, expected %r\n%s" % (i + 1, len(got), at, len(g), len(e),
                                                      g[max(0, at - 40):at + 80],
                                                      e[max(0, at - 40):at + 80], run.log()))

    def test_kept_mail_is_fetched_once(self):
        user = "keeper"
        msgs = mail("keep-" + self.id().rsplit(".", 2)[-2])
        make_user(self.root, user, msgs)
        run = self.run_ok(user, keep=True, statuses=self.success)
        self.assert_delivered(list(msgs.values()), 0, run)
        self.assertEqual(sorted(os.listdir(self.user_dir(user))), sorted(map(fs, msgs)))

        # Its name sorts first: it becomes message 1 and every old message moves up by one,
        # so only the unique-ids tell the clients what they have already.
        extra = new_mail(user)
        write_file(os.path.join(self.user_dir(user), b"1765000000.M0P7.example"), extra)
        run = self.run_ok(user, keep=True, statuses=self.success)
        self.assert_delivered([extra], len(msgs), run)

        run = self.run_ok(user, keep=True, statuses=self.nothing)
        self.assert_delivered([], len(msgs) + 1, run)
        self.assertEqual(len(os.listdir(self.user_dir(user))), len(msgs) + 1)

    def test_fetched_mail_is_deleted(self):
        user = "taker"
        msgs = mail("take-" + self.id().rsplit(".", 2)[-2])
        make_user(self.root, user, msgs)
        run = self.run_ok(user, keep=False, statuses=self.success)
        self.assert_delivered(list(msgs.values()), 0, run)
        self.assertEqual(os.listdir(self.user_dir(user)), [], run.log())


# ---------------------------------------------------------------------------
# fetchmail

@unittest.skipUnless(FETCHMAIL, "fetchmail not installed (scripts/install-deps.sh)")
class Fetchmail(RealClientTests, ServerTestCase):
    """fetchmail, delivering through an MDA that writes each message to a numbered file.
    fetchmail adds one field on top, its Received line (three lines, folded)."""

    host = "localhost"
    success = (0,)
    nothing = (1,)  # fetchmail's "no mail"

    def setUp(self):
        super().setUp()
        self.out = os.path.join(self.home, "delivered")
        os.mkdir(self.out)
        self.mda = os.path.join(self.home, "mda.py")
        write_file(self.mda, NUMBERED_FILE_MDA.encode())

    def fetch(self, user, keep):
        def quoted(s):
            return '"%s"' % s.replace("\\", "\\\\").replace('"', '\\"')
        rc = write_private(os.path.join(self.home, "fetchmailrc"), textwrap.dedent("""\
            poll %s service %d protocol POP3
                user %s there with password %s
            """) % (self.host, self.port(), quoted(user), quoted(PASSWORDS[user])))
        argv = [FETCHMAIL, "-v", "-f", rc, "--nosyslog",
                "--mda", self.mda_command()]
        if not self.tls:
            argv += ["--sslproto", ""]
        if self.tls:
            argv += ["--sslcertfile", self.cert]
        if self.tls == "implicit":
            argv += ["--ssl"]
        argv += ["--keep"] if keep else []
        return run_client(argv, self.home)

    def mda_command(self):
        return "/usr/bin/python3 %s %s" % (self.mda, self.out)

    def delivered(self):
        return read_numbered(self.out)

    def unwrapped(self, message):
        rest, (received,) = take_fields(message, ["Received"])
        self.assertIn(b"with POP3", received)
        self.assertIn(b"(fetchmail-", received)
        return rest

    def run_ok(self, user, keep, statuses):
        run = super().run_ok(user, keep, statuses)
        if self.tls == "stls":
            self.assertIn(b"POP3> STLS", run.output, run.log())
        return run


class FetchmailIntoDeliver(Fetchmail):
    """fetchmail handing each message to `drennik deliver`, which stores it in a second store:
    Drennik at both ends. Names sort in arrival order, as the numbered files do."""

    def setUp(self):
        super().setUp()
        self.store = os.path.join(self.home, "store")
        os.makedirs(os.path.join(self.store, "fetched"))

    def mda_command(self):
        return "%s deliver --root %s fetched" % (require_binary(), self.store)

    def delivered(self):
        return read_numbered(os.path.join(self.store, "fetched"))


class FetchmailStls(Fetchmail):
    tls = "stls"


class FetchmailImplicitTls(Fetchmail):
    tls = "implicit"


# ---------------------------------------------------------------------------
# mpop

@unittest.skipUnless(MPOP, "mpop not installed (scripts/install-deps.sh)")
class Mpop(RealClientTests, ServerTestCase):
    """mpop, delivering into an mbox (mboxrd), its default example. It adds a From_ line
    and an empty line around each message, quotes ">*From " lines, and puts its Received
    field on top."""

    host = "localhost"
    auth = None  # mpop's own choice; else its --auth method

    def setUp(self):
        super().setUp()
        self.mbox = os.path.join(self.home, "mbox")
        self.password_file = os.path.join(self.home, "password")

    def fetch(self, user, keep):
        write_private(self.password_file, PASSWORDS[user])
        argv = [MPOP, "--debug", "--host=%s" % self.host, "--port=%d" % self.port(),
                "--user=%s" % user, "--passwordeval=cat %s" % self.password_file,
                "--delivery=mbox,%s" % self.mbox]
        if self.tls and self.self_signed:
            argv += ["--tls=on", "--tls-fingerprint=%s" % self.fingerprint()]
        elif self.tls:
            argv += ["--tls=on", "--tls-trust-file=%s" % self.cert]
            if self.tls == "implicit":
                argv += ["--tls-starttls=off"]
        else:
            argv += ["--auth=user"]
        if self.auth:
            argv += ["--auth=%s" % self.auth]
        argv += ["--keep=on"] if keep else []
        return run_client(argv, self.home)

    def delivered(self):
        if not os.path.exists(self.mbox):
            return []
        messages = split_mboxrd(read_file(self.mbox))
        for separator, _ in messages:
            self.assertRegex(separator, rb"^From [^ ]+ ")
        return [m for _, m in messages]

    def unwrapped(self, message):
        rest, (received,) = take_fields(message, ["Received"])
        self.assertIn(b"(mpop", received)
        return rest


class MpopStls(Mpop):
    tls = "stls"


class MpopImplicitTls(Mpop):
    tls = "implicit"


class MpopAuthPlain(Mpop):
    """AUTH PLAIN after STLS."""
    tls = "stls"
    auth = "plain"


class MpopAuthLogin(Mpop):
    """AUTH LOGIN on the TLS port."""
    tls = "implicit"
    auth = "login"


class MpopSelfSignedFingerprint(Mpop):
    """The certificate the server made itself, trusted by the SHA-256 fingerprint it printed
    (mpop takes it in that very form)."""
    tls = "stls"
    self_signed = True


# ---------------------------------------------------------------------------
# getmail6

@unittest.skipUnless(GETMAIL, "getmail6 not installed (scripts/install-deps.sh)")
class Getmail6(RealClientTests, ServerTestCase):
    """getmail6, delivering into a Maildir. It adds Return-Path, Delivered-To and Received
    fields on top.
    A maildir keeps no order, so the messages are compared as a set."""

    host = "127.0.0.1"
    ordered = False

    def setUp(self):
        super().setUp()
        self.maildir = make_maildir(os.path.join(self.home, "Maildir"))
        self.getmaildir = os.path.join(self.home, ".getmail")
        os.mkdir(self.getmaildir)
        self.seen = []  # maildir file names in the order the runs found them

    def fetch(self, user, keep):
        retriever = "SimplePOP3SSLRetriever" if self.tls else "SimplePOP3Retriever"
        extra = "ca_certs = %s\n" % self.cert if self.tls else ""
        write_private(os.path.join(self.getmaildir, "getmailrc"), textwrap.dedent("""\
            [retriever]
            type = %s
            server = %s
            port = %d
            username = %s
            password = %s
            %s
            [destination]
            type = Maildir
            path = %s/

            [options]
            delete = %s
            read_all = %s
            """) % (retriever, self.host, self.port(), user,
                    PASSWORDS[user], extra, self.maildir, not keep,
                    not keep))
        return run_client([GETMAIL, "--getmaildir=%s" % self.getmaildir, "--rcfile=getmailrc"],
                          self.home)

    def delivered(self):
        found = read_maildir(self.maildir)
        self.seen += sorted(set(found) - set(self.seen))
        return [found[name] for name in self.seen]

    def unwrapped(self, message):
        rest, (_, _, received) = take_fields(message, ["Return-Path", "Delivered-To",
                                                        "Received"])
        self.assertIn(b" getmail6", received)
        return rest


    def test_its_maildir_is_served_with_uidls_that_stay_while_files_move(self):
        """getmail writes the Maildir of the user "reader"; a session reads it while a mail
        reader moves each message from new/ to cur/ and flags it."""
        if self.tls:
            self.skipTest("the plain class covers it")
        make_user(self.root, "giver", mail("for-reader"))
        run = self.run_ok("giver", keep=False, statuses=self.success)
        # Handed over whole, as the store's owner: the server reads it as getmail wrote it.
        self.maildir = self.user_dir("reader").decode()
        shutil.copytree(os.path.join(self.home, "Maildir"), self.maildir)
        owner = os.stat(self.root)
        for folder, dirs, files in os.walk(self.maildir):
            for name in [folder] + [os.path.join(folder, n) for n in dirs + files]:
                os.lchown(name, owner.st_uid, owner.st_gid)
        written = read_maildir(self.maildir)
        self.assertEqual(len(written), len(mail("for-reader")), run.log())
        names = sorted(written, key=lambda n: n.split("/", 1)[1].split(":", 1)[0])
        base = [n.split("/", 1)[1].split(":", 1)[0].encode() for n in names]
        uidl = b"+OK\r\n" + b"".join(b"%d %s\r\n" % (i, b) for i, b in enumerate(base, 1))
        c = self.server.connect()
        c.login("reader", PASSWORDS["reader"])
        self.assertEqual(c.request(b"STAT"), stat_reply(sizes_of([written[n] for n in names])))
        self.assertEqual(c.request(b"UIDL", multi=True), uidl + b".\r\n")
        for name in names:
            sub, file = name.split("/", 1)
            os.rename(os.path.join(self.maildir, sub, file),
                      os.path.join(self.maildir, "cur", file.split(":", 1)[0] + ":2,S"))
        for number, name in enumerate(names, 1):
            self.assertEqual(c.request(b"RETR %d" % number, multi=True), retr_reply(written[name]))
        c.request(b"QUIT")
        c = self.server.connect()
        c.login("reader", PASSWORDS["reader"])
        self.assertEqual(c.request(b"UIDL", multi=True), uidl + b".\r\n")


class Getmail6ImplicitTls(Getmail6):
    tls = "implicit"


if __name__ == "__main__":
    unittest.main()
