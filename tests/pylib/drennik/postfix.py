"""A private Postfix instance for tests: its own configuration, queue and log in a folder, no
listener of its own (mail goes in by its sendmail command), and every message routed to one
LMTP destination. Started and stopped by the test; needs root, as Postfix does."""

import os
import shutil
import subprocess
import time

POSTFIX = shutil.which("postfix") or (os.path.exists("/usr/sbin/postfix") and "/usr/sbin/postfix")
SENDMAIL = "/usr/sbin/sendmail"

_SERVICES = """\
pickup    unix  n       -       n       60      1       pickup
cleanup   unix  n       -       n       -       0       cleanup
qmgr      unix  n       -       n       300     1       qmgr
rewrite   unix  -       -       n       -       -       trivial-rewrite
bounce    unix  -       -       n       -       0       bounce
defer     unix  -       -       n       -       0       bounce
trace     unix  -       -       n       -       0       bounce
verify    unix  -       -       n       -       1       verify
flush     unix  n       -       n       1000?   0       flush
proxymap  unix  -       -       n       -       -       proxymap
showq     unix  n       -       n       -       -       showq
error     unix  -       -       n       -       -       error
retry     unix  -       -       n       -       -       error
discard   unix  -       -       n       -       -       discard
lmtp      unix  -       -       n       -       -       lmtp
anvil     unix  -       -       n       -       1       anvil
scache    unix  -       -       n       -       1       scache
postlog   unix-dgram n  -       n       -       1       postlogd
"""


def usable():
    """Why a private Postfix cannot run here, or None."""
    if not POSTFIX:
        return "postfix not installed (scripts/install-deps.sh)"
    if os.geteuid() != 0:
        return "Postfix needs root"
    return None


class Postfix:
    def __init__(self, folder, destination):
        """`destination`: Postfix's next hop, e.g. "lmtp:unix:/path" or
        "lmtp:inet:127.0.0.1:24"."""
        self.folder = folder
        self.conf = os.path.join(folder, "conf")
        self.queue = os.path.join(folder, "queue")
        self.data = os.path.join(folder, "data")
        self.maillog = os.path.join(folder, "maillog")
        for d in (self.conf, self.queue, self.data):
            os.makedirs(d)
        shutil.chown(self.data, "postfix")
        with open(os.path.join(self.conf, "main.cf"), "w") as f:
            f.write("\n".join([
                "compatibility_level = 3.6",
                "queue_directory = " + self.queue,
                "data_directory = " + self.data,
                "mail_owner = postfix",
                "setgid_group = postdrop",
                "myhostname = postfix.test",
                "mydomain = test",
                "myorigin = $myhostname",
                "mydestination =",
                "relay_domains =",
                "inet_interfaces = loopback-only",
                "inet_protocols = ipv4",
                "default_transport = " + destination,
                "maillog_file = " + self.maillog,
                "maillog_file_prefixes = " + folder,
                "smtputf8_enable = no",
                # Retry at once: a test waits for its mail, not for a backoff.
                "queue_run_delay = 1s", "minimal_backoff_time = 1s", "maximal_backoff_time = 2s",
                ""]))
        with open(os.path.join(self.conf, "master.cf"), "w") as f:
            f.write(_SERVICES)
        self.started = False

    def _postfix(self, *args):
        return subprocess.run([POSTFIX, "-c", self.conf] + list(args), capture_output=True,
                              timeout=60)

    def start(self):
        run = self._postfix("start")
        if run.returncode != 0:
            raise RuntimeError("postfix start failed: %r %r\n%s" % (run.stdout, run.stderr,
                                                                     self.log()))
        self.started = True

    def stop(self):
        if self.started:
            self._postfix("stop")
            self.started = False

    def send(self, sender, recipients, message):
        run = subprocess.run([SENDMAIL, "-C", self.conf, "-f", sender, "-i", "--"] + recipients,
                             input=message, capture_output=True, timeout=60)
        if run.returncode != 0:
            raise RuntimeError("sendmail failed: %r %r" % (run.stdout, run.stderr))

    def log(self):
        try:
            with open(self.maillog, "rb") as f:
                return f.read().decode("utf-8", "replace")
        except FileNotFoundError:
            return ""

    def wait_for(self, needle, count=1, timeout=60):
        """Waits until the log names `needle` `count` times (a hang, not a speed check)."""
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            if self.log().count(needle) >= count:
                return True
            time.sleep(0.1)
        return False
