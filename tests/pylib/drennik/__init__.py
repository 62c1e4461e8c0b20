"""The test fixture shared by the end-to-end tests, the hostile-client scenarios and the
benchmark scripts: the server process, a raw POP3 client, maildrops on disk, the replies
they must produce, and what /proc says about the server.

Put tests/pylib on sys.path, then `from drennik import Server, Client, ...`."""

from . import probes
from .common import (DEADLINE, HOST, START_DEADLINE, STOP_DEADLINE, Failure, fs, short,
                     wait_until)
from .log import events, parse_log, parse_line, unescape
from .maildrop import make_root, make_user, message_order, read_file, rmtree, write_file
from .pop3 import (GREETING, OK, SYNC_COMMAND, SYNC_REPLY, Client, ConnectionClosed,
                   ReplyTimeout)
from .process import Server, binary_path, kill_all_processes, require_binary, run_once
from .replies import (LOGIN_FAILED, MAILDROP_UNREADABLE, list_reply, message_lines, retr_body,
                      retr_reply, sent_size, sizes_of, stat_reply, unstuffed)
