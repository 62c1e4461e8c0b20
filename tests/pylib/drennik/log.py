"""The operator's log as the server writes it on standard error: a strict reader of the
documented form, so that a line that is not exactly that form fails the test that reads it.

    drennik: event=NAME key=value key="value with blanks" ...

Values are printable ASCII; '"' and '\\' are escaped with '\\'; CR, LF, TAB are \\r, \\n,
\\t; '=', other control bytes and 8-bit bytes are \\xHH."""

import re

from .common import Failure

_FIELD = re.compile(rb'([a-z][a-z0-9-]*)=("(?:[^"\\]|\\.)*"|(?:[^"\\ ]|\\.)+)(?: |$)')
_VALUE = re.compile(rb'(?:[^\\=]|\\(?:x[0-9A-F]{2}|[\\"rnt]))*')
_ESCAPE = re.compile(rb'\\(x..|.)')
_SIMPLE = {b"\\": b"\\", b'"': b'"', b"r": b"\r", b"n": b"\n", b"t": b"\t"}


def unescape(raw):
    """The bytes a field value stands for; fails on anything the server never writes."""
    quoted = raw.startswith(b'"')
    if quoted:
        raw = raw[1:-1]
        if raw and b" " not in raw:
            raise Failure("quotes around a value without a blank: %r" % raw)
    if not _VALUE.fullmatch(raw):
        raise Failure("a bare '=' or an unknown escape in the value %r" % raw)

    def one(m):
        code = m.group(1)
        return bytes([int(code[1:], 16)]) if code.startswith(b"x") else _SIMPLE[code]
    return _ESCAPE.sub(one, raw)


class Event(dict):
    """One line: its event name, and its fields (values as bytes, unescaped) in order."""

    def __init__(self, name, fields, line):
        super().__init__(fields)
        self.name = name
        self.keys_in_order = [k for k, _ in fields]
        self.line = line

    def __repr__(self):
        return "Event(%s)" % self.line.decode("ascii")


def parse_line(line):
    if any(b < 0x20 or b > 0x7E for b in line):
        raise Failure("a byte outside printable ASCII in the line %r" % line)
    if not line.startswith(b"drennik: "):
        raise Failure("not a log line: %r" % line)
    rest, at, fields = line[len(b"drennik: "):], 0, []
    while at < len(rest):
        m = _FIELD.match(rest, at)
        if not m:
            raise Failure("malformed field at byte %d of %r" % (at, line))
        fields.append((m.group(1).decode(), unescape(m.group(2))))
        at = m.end()
    if not fields or fields[0][0] != "event":
        raise Failure("the line does not begin with event=: %r" % line)
    keys = [k for k, _ in fields]
    if len(set(keys)) != len(keys):
        raise Failure("a key twice in %r" % line)
    return Event(fields[0][1].decode(), fields[1:], line)


def parse_log(data):
    """Every line of standard error as an Event; fails on any line that is not one (a Qt
    warning, a stray message), as a normal run prints nothing else there. The last line may
    still be on its way and is left out when it has no LF yet."""
    lines = data.split(b"\n")
    return [parse_line(line) for line in lines[:-1]]


def events(data, name=None, **fields):
    """The events of `name` whose fields have the given values (str or bytes)."""
    def wanted(event):
        return all(event.get(k.replace("_", "-")) == (v if isinstance(v, bytes) else
                                                      str(v).encode())
                   for k, v in fields.items())
    return [e for e in parse_log(data) if (name is None or e.name == name) and wanted(e)]
