"""What every part of the fixture shares: the loopback address, the deadlines that
only catch hangs, the failure type and a condition poller."""

import os
import time

HOST = "127.0.0.1"

# Deadlines only catch hangs; nothing relies on them for ordering.
DEADLINE = 30.0
START_DEADLINE = 30.0
STOP_DEADLINE = 20.0


class Failure(AssertionError):
    """A wrong reply, a condition never reached, or a hang guard that fired.

    An AssertionError, so unittest reports it as a failed check."""


def wait_until(predicate, timeout=DEADLINE, what="condition", interval=0.02):
    """Poll until predicate() is truthy and return its value; fail on the deadline."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise Failure("%s not reached within %gs" % (what, timeout))
        time.sleep(interval)


def short(data, limit=160):
    """repr() of bytes, with the middle cut out when they are long."""
    data = bytes(data)
    if len(data) > limit:
        data = data[:limit // 2] + b"...(%d bytes)..." % len(data) + data[-limit // 2:]
    return repr(data)


def fs(name):
    """A file or user name as bytes."""
    return name if isinstance(name, bytes) else os.fsencode(name)
