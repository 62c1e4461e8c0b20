"""Maildrops on disk: a root folder, one folder per user, one file per message,
written byte for byte."""

import os
import shutil
import tempfile

from .common import fs


def make_root(prefix="drennik-test-"):
    """A fresh temporary folder; remove it with rmtree()."""
    path = tempfile.mkdtemp(prefix=prefix)
    os.chmod(path, 0o755)
    return path


def make_user(root, user, messages=None):
    """Create ROOT/USER holding the given {file name: content} messages; returns the
    folder (as bytes)."""
    folder = os.path.join(fs(root), fs(user))
    os.makedirs(folder, exist_ok=True)
    for name, content in (messages or {}).items():
        write_file(os.path.join(folder, fs(name)), content)
    return folder


def write_file(path, content):
    with open(fs(path), "wb") as f:
        f.write(content)


def read_file(path):
    with open(fs(path), "rb") as f:
        return f.read()


def message_order(messages):
    """The contents of {name: content} in message-number order: names not starting
    with a dot, sorted bytewise."""
    return [messages[n] for n in sorted(messages, key=fs) if not fs(n).startswith(b".")]


def rmtree(path):
    """Remove a tree, also where a test took write permission away."""
    def onerror(func, p, exc):
        try:
            os.chmod(os.path.dirname(p), 0o755)
            func(p)
        except OSError:
            pass
    shutil.rmtree(path, onerror=onerror)
