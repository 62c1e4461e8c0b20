"""The exact bytes the server's replies must have for given message contents."""

import re

_LINE_END = re.compile(rb"\r\n|\r|\n")

# A failed USER/PASS or AUTH login, and one the server cannot serve now.
LOGIN_FAILED = b"-ERR [AUTH] invalid user name or password\r\n"
MAILDROP_UNREADABLE = b"-ERR [SYS/TEMP] the maildrop cannot be read; try again later\r\n"


def message_lines(data):
    """The file's lines: CR LF, lone CR and lone LF each end a line."""
    lines = _LINE_END.split(data)
    if lines and lines[-1] == b"":
        lines.pop()
    return lines


def retr_body(data):
    """Dot-stuffed lines, each ending CR LF, then the terminating dot line."""
    out = [(b"." + line if line.startswith(b".") else line) for line in message_lines(data)]
    out.append(b".")
    return b"\r\n".join(out) + b"\r\n"


def retr_reply(data):
    return b"+OK \r\n" + retr_body(data)


def unstuffed(data):
    """What a client that removes the stuffing must end up with."""
    lines = message_lines(data)
    if not lines:
        return b""
    return b"\r\n".join(lines) + b"\r\n"


def sent_size(data):
    """What LIST and STAT count for a message: the octets RETR sends, without the stuffing."""
    return len(unstuffed(data))


def sizes_of(contents):
    return [sent_size(c) for c in contents]


def stat_reply(sizes):
    return b"+OK %d %d\r\n" % (len(sizes), sum(sizes))


def list_reply(sizes):
    out = b"+OK %d Messages\r\n" % len(sizes)
    for i, size in enumerate(sizes, 1):
        out += b"%d %d\r\n" % (i, size)
    return out + b".\r\n"
