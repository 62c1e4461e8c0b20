"""What the kernel says about a process (/proc) and about loopback TCP sockets.

The socket figures are those of /proc/net/tcp: for a connected socket, the bytes that
arrived and its owner has not read yet (rx) and the bytes it sent that the peer has not
acknowledged (tx); for a listening socket, rx is the number of connections waiting to be
accepted."""

import collections
import os
import socket
import struct

CLK_TCK = os.sysconf("SC_CLK_TCK")

TCP_ESTABLISHED = 1
TCP_TIME_WAIT = 6
TCP_CLOSE_WAIT = 8
TCP_LISTEN = 10

TcpSocket = collections.namedtuple("TcpSocket", "local_port remote_port state tx rx")


def open_fds(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def fd_targets(pid):
    """What each open descriptor points at ("socket:[123]", a path, ...)."""
    targets = []
    for fd in os.listdir("/proc/%d/fd" % pid):
        try:
            targets.append(os.readlink("/proc/%d/fd/%s" % (pid, fd)))
        except FileNotFoundError:  # closed while we looked
            pass
    return targets


def open_sockets(pid):
    return sum(target.startswith("socket:") for target in fd_targets(pid))


def _status_field(pid, name):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(name + ":"):
                return line.split()[1:]
    raise LookupError("no %s for process %d" % (name, pid))


def rss_kib(pid):
    """Resident memory in KiB."""
    return int(_status_field(pid, "VmRSS")[0])


def ids(pid):
    """The effective user and group id."""
    return int(_status_field(pid, "Uid")[1]), int(_status_field(pid, "Gid")[1])


def cpu_seconds(pid):
    """User plus system CPU time used so far."""
    with open("/proc/%d/stat" % pid, "rb") as f:
        fields = f.read().rsplit(b")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLK_TCK


def tcp_sockets(states=0xFFF):
    """The TCP sockets of this network namespace, IPv4 and IPv6, whose state is in the
    bit mask `states` (bit n: state n). Asked of the kernel through sock_diag, which gives
    the figures of /proc/net/tcp without formatting every socket of the machine as text.
    A dump of listening sockets only is cheap; one of connections walks them all."""
    for family in (socket.AF_INET, socket.AF_INET6):
        yield from _sock_diag(_request(family, states, flags=_NLM_F_DUMP))


def tcp_socket(local_port, remote_port, address="127.0.0.1"):
    """The connection between these two ports on address (loopback by default), looked
    up directly by its addresses and ports, or None when there is none (any more)."""
    v4 = socket.inet_aton(address)
    for family, packed in ((socket.AF_INET, v4 + bytes(12)),
                           (socket.AF_INET6, bytes(10) + b"\xff\xff" + v4)):  # v4-mapped
        socket_id = struct.pack("!HH", local_port, remote_port) + packed + packed + \
            struct.pack("=III", 0, _NO_COOKIE, _NO_COOKIE)
        try:
            for s in _sock_diag(_request(family, 0xFFF, socket_id=socket_id)):
                # Without the connection the kernel may answer with the listening socket.
                if s.local_port == local_port and s.remote_port == remote_port:
                    return s
        except FileNotFoundError:
            pass
    return None


def accept_queue(port):
    """Connections waiting for the listening socket on port to accept them."""
    return sum(s.rx for s in tcp_sockets(1 << TCP_LISTEN) if s.local_port == port)


_NETLINK_SOCK_DIAG = 4
_SOCK_DIAG_BY_FAMILY = 20
_NLM_F_REQUEST = 0x1
_NLM_F_DUMP = 0x300
_NLMSG_ERROR = 2
_NLMSG_DONE = 3
_NO_COOKIE = 0xFFFFFFFF


def _request(family, states, flags=0, socket_id=bytes(48)):
    # struct inet_diag_req_v2: family, protocol, ext, pad, states, socket id.
    body = struct.pack("=BBBBI", family, socket.IPPROTO_TCP, 0, 0, states) + socket_id
    return struct.pack("=IHHII", 16 + len(body), _SOCK_DIAG_BY_FAMILY, _NLM_F_REQUEST | flags,
                       1, 0) + body


def _sock_diag(request):
    """The sockets the kernel answers a sock_diag request with: a dump ends with a DONE
    message, a direct lookup is one answer (a socket or an error)."""
    dump = struct.unpack_from("=H", request, 6)[0] & _NLM_F_DUMP == _NLM_F_DUMP
    with socket.socket(socket.AF_NETLINK, socket.SOCK_DGRAM, _NETLINK_SOCK_DIAG) as nl:
        nl.sendall(request)
        while True:
            data = nl.recv(1 << 16)
            offset = 0
            while offset < len(data):
                length, kind = struct.unpack_from("=IH", data, offset)
                if kind == _NLMSG_DONE:
                    return
                if kind == _NLMSG_ERROR:
                    error = -struct.unpack_from("=i", data, offset + 16)[0]
                    raise OSError(error, "sock_diag: " + os.strerror(error))
                # struct inet_diag_msg after the 16-byte header: family, state, timer,
                # retrans; the socket id (ports first, in network order); expires, rqueue,
                # wqueue.
                msg = offset + 16
                local_port, remote_port = struct.unpack_from("!HH", data, msg + 4)
                rx, tx = struct.unpack_from("=II", data, msg + 56)
                yield TcpSocket(local_port, remote_port, data[msg + 1], tx, rx)
                if not dump:
                    return
                offset += (length + 3) & ~3
