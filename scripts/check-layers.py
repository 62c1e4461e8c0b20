#!/usr/bin/env python3
"""Fails when a file under src/ includes a header of a layer it may not use.

Each folder under src/ is a layer; a layer may include itself and the layers listed
for it below, nothing else of ours. Prints each violation as
"file:line: layer X includes layer Y" and exits 1 when there is any."""

import os
import re
import sys

MAY_INCLUDE = {
    "app": {"main_window", "mail_service", "socket_layer", "trace_window", "platform"},
    "main_window": {"mail_service", "socket_layer", "trace_window", "platform"},
    "mail_service": {"socket_layer", "platform"},
    "trace_window": {"socket_layer", "platform"},
    "socket_layer": {"platform"},
    "platform": set(),
}

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^">]+)[">]')
SOURCE_SUFFIXES = (".cpp", ".h", ".hpp", ".cc", ".cxx", ".hh", ".inl")


def included_folder(src, including_dir, delimiter, path):
    """The top folder under src/ that an include names, or None when it is not ours.
    A quoted include is looked up next to the including file first, as the compiler does;
    then, like every include, from src/."""
    if delimiter == '"':
        beside = os.path.normpath(os.path.join(including_dir, path))
        if os.path.exists(beside) and beside.startswith(src + os.sep):
            return os.path.relpath(beside, src).split(os.sep)[0]
    parts = os.path.normpath(path).split(os.sep)
    if len(parts) < 2 or parts[0] in (os.curdir, os.pardir):
        return None
    if parts[0] in MAY_INCLUDE or os.path.isdir(os.path.join(src, parts[0])):
        return parts[0]
    return None


def violations(src):
    for folder, _, files in sorted(os.walk(src)):
        for name in sorted(files):
            if not name.endswith(SOURCE_SUFFIXES):
                continue
            path = os.path.join(folder, name)
            layer = os.path.relpath(path, src).split(os.sep)[0]
            shown = os.path.relpath(path, os.path.dirname(src))
            if layer not in MAY_INCLUDE:
                yield "%s:1: %s is not a layer of the table" % (shown, layer)
                continue
            with open(path, encoding="utf-8", errors="replace") as f:
                for number, line in enumerate(f, 1):
                    m = INCLUDE.match(line)
                    if not m:
                        continue
                    target = included_folder(src, folder, m.group(1), m.group(2))
                    if target is None or target == layer:
                        continue
                    if target not in MAY_INCLUDE:
                        yield "%s:%d: layer %s includes %s, which is not a layer of the table" % (
                            shown, number, layer, target)
                    elif target not in MAY_INCLUDE[layer]:
                        yield "%s:%d: layer %s includes layer %s" % (shown, number, layer, target)


def main():
    root = os.path.abspath(sys.argv[1] if len(sys.argv) > 1
                           else os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
    src = os.path.join(root, "src")
    if not os.path.isdir(src):
        print("check-layers: no src/ in %s" % root, file=sys.stderr)
        return 2
    found = list(violations(src))
    for v in found:
        print(v)
    if found:
        print("check-layers: %d include(s) against the layering" % len(found), file=sys.stderr)
        return 1
    print("check-layers: includes follow the layering")
    return 0


if __name__ == "__main__":
    sys.exit(main())
