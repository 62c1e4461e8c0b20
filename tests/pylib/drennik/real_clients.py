"""What the tests with installed mail clients (fetchmail, mpop, getmail6) share: running a
client in its own process group with a private home, a certificate for localhost, whether
the server offers TLS, and reading back what a client delivered (mbox, maildir, one file
per message) with exactly what the client adds taken off again."""

import os
import pwd
import re
import signal
import subprocess

from .common import Failure, fs, short
from .process import _register, _unregister, run_once

# A client run only ends early when it hangs; the whole run takes a second or two.
CLIENT_DEADLINE = 120.0


class ClientRun:
    """The outcome of one client run: its exit status and everything it printed."""

    def __init__(self, argv, status, output):
        self.argv = argv
        self.status = status
        self.output = output

    def log(self, limit=6000):
        text = self.output.decode("utf-8", "replace")
        if len(text) > limit:
            text = "...\n" + text[-limit:]
        return "%s exited %s; its output:\n%s" % (" ".join(self.argv), self.status, text)


def client_env(home):
    """An environment whose home, configuration and state folders all lie in `home`, and
    without proxies, so a client reads and writes nothing of the real user's."""
    env = {k: v for k, v in os.environ.items()
           if "proxy" not in k.lower() and not k.startswith(("XDG_", "FETCHMAIL", "MAIL"))}
    env.update(HOME=home, FETCHMAILHOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"),
               XDG_DATA_HOME=os.path.join(home, ".local", "share"), LC_ALL="C.UTF-8",
               LANG="C.UTF-8", TZ="UTC")
    return env


def client_account():
    """Whom the clients run as: the current user, or "nobody" when that is root, as mail
    clients are run by ordinary users (getmail6 refuses to deliver as root, fetchmail warns).
    Returns (uid, gid), None for the current user."""
    if os.geteuid() != 0:
        return None
    account = pwd.getpwnam("nobody")
    return account.pw_uid, account.pw_gid


def make_home(path):
    """A client's home folder, owned by the account the clients run as."""
    os.mkdir(path, 0o700)
    give_home(path)
    return path


def give_home(path):
    """Hand everything in a home folder (made by the test, as root) to the client account."""
    account = client_account()
    if account is None:
        return
    for folder, dirs, files in os.walk(path):
        for name in [folder] + [os.path.join(folder, n) for n in dirs + files]:
            os.lchown(name, *account)


def run_client(argv, home, timeout=CLIENT_DEADLINE):
    """Run a client to completion in `home` (as client_account()) with standard output and
    error merged. It runs in a process group of its own, which is killed whole if the run
    outlives `timeout` (a delivery agent it started included)."""
    give_home(home)
    account = client_account()
    ids = {} if account is None else {"user": account[0], "group": account[1],
                                      "extra_groups": []}
    proc = subprocess.Popen(argv, cwd=home, env=client_env(home), stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            start_new_session=True, close_fds=True, **ids)
    _register(proc)
    try:
        out, _ = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except OSError:
            pass
        out, _ = proc.communicate(timeout=20)
        raise Failure("%s did not finish within %gs; output %s"
                      % (" ".join(argv), timeout, short(out, 4000)))
    finally:
        _unregister(proc)
    return ClientRun(argv, proc.returncode, out)


def write_private(path, text):
    """A configuration file only its owner may read, as fetchmail and mpop insist."""
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    with os.fdopen(fd, "w") as f:
        f.write(text)
    os.chmod(path, 0o600)
    return path


# ---------------------------------------------------------------------------
# TLS

def server_offers_tls(binary=None):
    """True when `drennik --help` lists the certificate options."""
    _, out, err = run_once(["--help"], binary=binary)
    return b"--tls-cert" in out + err


def make_certificate(folder):
    """A self-signed P-256 certificate for localhost and 127.0.0.1 and its key, as PEM
    files in `folder`; returns (certificate, key)."""
    cert = os.path.join(folder, "cert.pem")
    key = os.path.join(folder, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:P-256", "-nodes", "-keyout", key, "-out", cert,
                    "-days", "2", "-subj", "/CN=localhost",
                    "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1"],
                   check=True, capture_output=True, timeout=60)
    return cert, key


def crypt_hash(password):
    """A SHA-512-crypt hash as `openssl passwd -6` makes it."""
    return subprocess.run(["openssl", "passwd", "-6", password], check=True,
                          capture_output=True, timeout=60).stdout.strip()


# ---------------------------------------------------------------------------
# What the clients delivered

_FIELD_NAME = re.compile(rb"([!-9;-~]+):")


def take_fields(message, names):
    """Take the header fields `names` (in this order, each with its continuation lines)
    off the top of `message`. Returns (rest, the fields taken); fails when the message
    does not start with exactly these fields."""
    taken = []
    rest = message
    for name in names:
        m = _FIELD_NAME.match(rest)
        if not m or m.group(1).lower() != fs(name).lower():
            raise Failure("expected the client's %s field at %s" % (name, short(rest, 200)))
        end = rest.find(b"\n")
        while end >= 0 and rest[end + 1:end + 2] in (b" ", b"\t"):
            end = rest.find(b"\n", end + 1)
        if end < 0:
            raise Failure("the %s field never ends: %s" % (name, short(rest, 200)))
        taken.append(rest[:end + 1])
        rest = rest[end + 1:]
    return rest, taken


_MBOXRD_FROM = re.compile(rb"^>(>*From )", re.M)


def split_mboxrd(data):
    """The messages of an mboxrd file: each one's From_ line and the empty line the writer
    adds after it are taken off, and the quoting of ">*From " lines is undone. Returns
    [(From_ line, message)]."""
    if not data:
        return []
    if not data.startswith(b"From "):
        raise Failure("mbox does not start with a From_ line: %s" % short(data, 200))
    out = []
    # In mboxrd every body line starting "From " is quoted, so an unquoted one at the start
    # of a line is always a separator.
    parts = re.split(rb"^(From [^\n]*\n)", data, flags=re.M)
    assert parts[0] == b""
    for i in range(1, len(parts), 2):
        separator, body = parts[i], parts[i + 1]
        if not body.endswith(b"\n\n"):
            raise Failure("mbox message does not end in an empty line: %s" % short(body, 200))
        out.append((separator, _MBOXRD_FROM.sub(rb"\1", body[:-1])))
    return out


def read_maildir(folder):
    """The messages in a maildir's new/ and cur/ folders, by file name."""
    out = {}
    for sub in ("new", "cur"):
        path = os.path.join(folder, sub)
        for name in sorted(os.listdir(path)):
            with open(os.path.join(path, name), "rb") as f:
                out[sub + "/" + name] = f.read()
    return out


def make_maildir(folder):
    for sub in ("cur", "new", "tmp"):
        os.makedirs(os.path.join(folder, sub), exist_ok=True)
    return folder


# A delivery agent for fetchmail's --mda: each message it is given on standard input
# becomes the next numbered file in the folder named by its argument.
NUMBERED_FILE_MDA = r'''import os, sys
folder = sys.argv[1]
data = sys.stdin.buffer.read()
for n in range(1, 100000):
    try:
        fd = os.open(os.path.join(folder, "%05d" % n), os.O_WRONLY | os.O_CREAT | os.O_EXCL,
                     0o600)
    except FileExistsError:
        continue
    with os.fdopen(fd, "wb") as f:
        f.write(data)
    sys.exit(0)
sys.exit(75)
'''


def read_numbered(folder):
    """What NUMBERED_FILE_MDA delivered, in delivery order."""
    out = []
    for name in sorted(os.listdir(folder)):
        with open(os.path.join(folder, name), "rb") as f:
            out.append(f.read())
    return out
