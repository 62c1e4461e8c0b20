"""drennik deliver: messages piped in, exit codes, and the stored mail served over POP3."""

import os
import pwd
import subprocess

from server_case import ServerTestCase
from drennik import DEADLINE, read_file, require_binary, retr_reply, sizes_of, stat_reply
from drennik.process import server_env

DELIVERED, USAGE, BAD_INPUT, UNKNOWN_USER, TRY_LATER = 0, 64, 65, 67, 75


def deliver(args, message, binary=None):
    """Runs `drennik deliver ARGS` with `message` on standard input: (exit code, stderr)."""
    proc = subprocess.run([require_binary(binary), "deliver"] + list(args), input=message,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=server_env(),
                          timeout=DEADLINE)
    return proc.returncode, proc.stderr


def stored(folder):
    """The messages in a user's folder in byte order of their names, hidden files included."""
    return [read_file(os.path.join(folder, name)) for name in sorted(os.listdir(folder))]


class Deliver(ServerTestCase):

    def test_exit_codes_then_each_message_fetched_byte_exact(self):
        bob, ann = self.new_user(), self.new_user()
        root = ["--root", self.root]
        messages = [b"Subject: one\r\n\r\nbody\r\n",
                    b"Subject: two\n\n.leading dot\n..two\nno final line end",
                    b"Subject: three\r\n\r\n8-bit \xe9\xff and NUL \x00 bytes\r\n.\r\n",
                    b"x" * 300000 + b"\r\n"]
        cases = [  # (arguments, input, exit code, the messages bob and ann have after it)
            (root + [bob], messages[0], DELIVERED, 1, 0),
            (root + [bob, ann, bob], messages[1], DELIVERED, 2, 1),
            (root + ["--max-message-size", str(len(messages[2])), bob], messages[2], DELIVERED,
             3, 1),
            (root + ["--max-message-size", str(len(messages[3]) - 1), bob, ann], messages[3],
             BAD_INPUT, 3, 1),
            (root + [bob, ann], messages[3], DELIVERED, 4, 2),
            (root + [bob], b"", BAD_INPUT, 4, 2),
            (root + [bob, "nobody-here"], b"m\r\n", UNKNOWN_USER, 4, 2),
            (root + ["../" + bob], b"m\r\n", UNKNOWN_USER, 4, 2),
            (root + [".hidden", "--create-maildrops"], b"m\r\n", UNKNOWN_USER, 4, 2),
            (root, b"m\r\n", USAGE, 4, 2),
            (root + ["--no-such-option", bob], b"m\r\n", USAGE, 4, 2),
            (root + ["--max-message-size", "x", bob], b"m\r\n", USAGE, 4, 2),
            (["--root", os.path.join(self.base, "none"), bob], b"m\r\n", TRY_LATER, 4, 2),
        ]
        for args, message, code, bob_count, ann_count in cases:
            with self.subTest(args=args[2:]):
                got, err = deliver(args, message)
                self.assertEqual(got, code, err)
                self.assertEqual(len(os.listdir(self.user_dir(bob))), bob_count)
                self.assertEqual(len(os.listdir(self.user_dir(ann))), ann_count)

        # Stored as received, in arrival order, and served so.
        self.assertEqual(stored(self.user_dir(bob)), messages)
        self.assertEqual(stored(self.user_dir(ann)), [messages[1], messages[3]])
        c = self.connect()
        c.login(bob)
        self.assertEqual(c.request(b"STAT"), stat_reply(sizes_of(messages)))
        for number, message in enumerate(messages, 1):
            self.assertEqual(c.request(b"RETR %d" % number, multi=True), retr_reply(message))
        c.sync()

    def test_catch_all_and_created_maildrops(self):
        catcher = self.new_user()
        stranger = "stranger%d" % os.getpid()
        code, err = deliver(["--root", self.root, "--catch-all", catcher, stranger], b"a\r\n")
        self.assertEqual(code, DELIVERED, err)
        self.assertEqual(stored(self.user_dir(catcher)), [b"a\r\n"])
        self.assertFalse(os.path.exists(self.user_dir(stranger)))
        code, err = deliver(["--root", self.root, "--create-maildrops", stranger], b"b\r\n")
        self.assertEqual(code, DELIVERED, err)
        self.assertEqual(stored(self.user_dir(stranger)), [b"b\r\n"])
        self.assertEqual(os.stat(self.user_dir(stranger)).st_mode & 0o777, 0o700)

    def test_as_root_files_belong_to_the_owner_of_the_root(self):
        if os.geteuid() != 0:
            self.skipTest("needs root")
        nobody = pwd.getpwnam("nobody")
        root = os.path.join(self.base, "owned")
        os.makedirs(os.path.join(root, "bob"))
        for path in (root, os.path.join(root, "bob")):
            os.chown(path, nobody.pw_uid, nobody.pw_gid)
        code, err = deliver(["--root", root, "bob"], b"m\r\n")
        self.assertEqual(code, DELIVERED, err)
        (name,) = os.listdir(os.path.join(root, "bob"))
        self.assertEqual(os.stat(os.path.join(root, "bob", name)).st_uid, nobody.pw_uid)
        # Nobody cannot write into a folder root owns: a temporary failure, nothing left.
        os.makedirs(os.path.join(root, "ann"))
        os.chmod(os.path.join(root, "ann"), 0o755)
        code, err = deliver(["--root", root, "ann"], b"m\r\n")
        self.assertEqual((code, os.listdir(os.path.join(root, "ann"))), (TRY_LATER, []), err)

    def test_a_maildir_gets_mail_through_tmp_into_new(self):
        user = self.new_user()
        folder = self.user_dir(user)
        for sub in (b"cur", b"new"):
            os.mkdir(os.path.join(folder, sub))
        code, err = deliver(["--root", self.root, user], b"m\r\n")
        self.assertEqual(code, DELIVERED, err)
        self.assertEqual(os.listdir(os.path.join(folder, b"tmp")), [])
        (name,) = os.listdir(os.path.join(folder, b"new"))
        c = self.connect()
        c.login(user)
        self.assertEqual(c.request(b"UIDL 1"), b"+OK 1 " + name + b"\r\n")
        self.assertEqual(c.request(b"RETR 1", multi=True), retr_reply(b"m\r\n"))
        c.sync()
