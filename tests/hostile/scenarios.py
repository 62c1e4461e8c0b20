"""The hostile-client scenarios. Each takes a Context (binary, fresh temporary
root, --quick scaling) and a Report, starts its own server and stops it."""

import asyncio
import bisect
import hashlib
import os
import selectors
import socket
import threading
import time

from drennik import (GREETING, HOST, OK, STOP_DEADLINE, Client, Failure, list_reply, make_user,
                     message_order, retr_reply, short, sizes_of, stat_reply, wait_until)

MB = 1 << 20
QUIT_OK = b"+OK \r\n"


def user_messages(i):
    """Four messages whose byte order ("10" < "9" < "B" < "a") is neither numeric nor
    case-blind, with stuffed dots, every line ending and an empty one; a hidden file."""
    return {
        b"10": b"Subject: %d\r\n\r\n.leading dot\r\n..two dots\r\n.\r\nend\r\n" % i,
        b"9": b"lone CR\rtwice\r\rthen LF\n\rno ending %d" % i,
        b"B": b"",
        b"a": (b"user %d line\n" % i) * (i % 7 + 1),
        b".hidden": b"never listed\r\n",
    }


def make_user_with_subfolder(root, user, messages):
    folder = make_user(root, user, messages)
    os.makedirs(os.path.join(folder, b"sub"), exist_ok=True)  # not a message either
    return folder


def session_script(user, messages, mark=None):
    """The (command, expected reply, multi-line) steps of one full session; without
    a mark it ends before DELE and QUIT."""
    contents = message_order(messages)
    sizes = sizes_of(contents)
    steps = [(b"USER " + user, OK, False), (b"PASS " + user, OK, False),
             (b"STAT", stat_reply(sizes), False), (b"LIST", list_reply(sizes), True)]
    steps += [(b"RETR %d" % n, retr_reply(c), True) for n, c in enumerate(contents, 1)]
    if mark is None:
        return steps
    return steps + [(b"DELE %d" % mark, OK, False), (b"QUIT", QUIT_OK, False)]


def kept_after_quit(folder, messages, mark):
    """True when exactly the marked message's file is gone from the folder."""
    plain = sorted(n for n in messages if not n.startswith(b"."))
    want = set(messages) - {plain[mark - 1]} | {b"sub"}
    return set(os.listdir(folder)) == want


async def async_session(port, steps, gate=None):
    """One client: connect, read the greeting, wait at the gate, run the steps.
    Returns the seconds from connecting (or from the gate) to the QUIT reply."""
    started = time.monotonic()
    reader, writer = await asyncio.open_connection(HOST, port)
    try:
        got = await reader.readuntil(b"\r\n")
        if got != GREETING:
            raise Failure("greeting %s" % short(got))
        if gate is not None:
            await gate()
            started = time.monotonic()
        for line, want, multi in steps:
            writer.write(line + b"\r\n")
            got = await reader.readuntil(b"\r\n")
            while multi and got.startswith(b"+OK"):  # up to the lone dot line
                more = await reader.readuntil(b"\r\n")
                got += more
                if more == b".\r\n":
                    break
            if got != want:
                raise Failure("%s -> %s, expected %s" % (line, short(got), short(want)))
        return time.monotonic() - started
    finally:
        writer.close()


async def run_sessions(port, scripts, timeout, together):
    """Runs the sessions concurrently; with `together` all connect before any starts.
    Returns (seconds per session or None, first problems)."""
    connected = 0
    released = asyncio.Event()

    async def gate():
        nonlocal connected
        connected += 1
        if connected == len(scripts):
            released.set()
        await released.wait()

    async def one(steps):
        try:
            return await async_session(port, steps, gate if together else None)
        except (Failure, OSError, asyncio.IncompleteReadError) as e:
            if together and not released.is_set():
                await gate()  # a client that failed early must not hold up the others
            return e

    results = await asyncio.wait_for(
        asyncio.gather(*(one(s) for s in scripts)), timeout)
    times = [r if isinstance(r, float) else None for r in results]
    problems = ["%s: %s" % (type(r).__name__, r) for r in results if not isinstance(r, float)]
    return times, problems


# --------------------------------------------------------------------------

def concurrent(ctx, rep):
    n = ctx.scale(1000, 100)
    users = [b"c%04d" % i for i in range(n)]
    drops = {u: (make_user_with_subfolder(ctx.root, u, user_messages(i)), user_messages(i),
                 i % 4 + 1) for i, u in enumerate(users)}
    with ctx.server() as srv:
        base_fds, _ = baseline(srv, users[0])
        t0 = time.monotonic()
        scripts = [session_script(u, m, mark) for u, (_, m, mark) in drops.items()]
        times, problems = asyncio.run(run_sessions(srv.port, scripts, 240, together=True))
        wall = time.monotonic() - t0
        ok = [t for t in times if t is not None]
        rep.fig("clients", n)
        rep.fig("sessions_ok", len(ok))
        rep.fig("wall", "%.1fs" % wall)
        rep.fig("slowest", "%.2fs" % max(ok, default=0))
        rep.check(not problems, "%d sessions failed, first: %s" % (len(problems), problems[:1]))
        exact = sum(kept_after_quit(f, m, mark) for f, m, mark in drops.values())
        rep.fig("deleted_exactly", "%d/%d" % (exact, n))
        rep.check(exact == n, "%d maildrops lost other than the marked file" % (n - exact))
        fd_check(rep, srv, base_fds)
        srv.ensure_alive()
        stop_cleanly(rep, srv)


def idle(ctx, rep):
    held_idle(ctx, rep, ctx.scale(500, 100), ctx.scale(50, 10))


def idle10k(ctx, rep):
    """Ten thousand idle connections cost the active ones nothing."""
    held_idle(ctx, rep, ctx.scale(10000, 1000), ctx.scale(20, 5))


def held_idle(ctx, rep, n_idle, n_normal):
    idle_msgs = {b"1": b"idle\r\n"}
    make_user(ctx.root, b"idle", idle_msgs)
    normal = [(b"n%02d" % i, user_messages(i)) for i in range(n_normal)]
    for u, m in normal:
        make_user_with_subfolder(ctx.root, u, m)
    with ctx.server() as srv:
        base_fds, _ = baseline(srv, b"idle")
        # Idle in four ways: greeted only, logged in, half a command, half a USER line.
        held = []
        for j in range(n_idle):
            c = Client(srv.port, timeout=10)
            if j % 4 == 1:
                c.login(b"idle")
            elif j % 4 == 2:
                c.send(b"STA")
            elif j % 4 == 3:
                c.send(b"USER idl")
            held.append(c)
        scripts = [session_script(u, m, 1) for u, m in normal]
        times, problems = asyncio.run(run_sessions(srv.port, scripts, 60, together=False))
        ok = [t for t in times if t is not None]
        rep.fig("idle", n_idle)
        rep.fig("served", "%d/%d" % (len(ok), n_normal))
        rep.check(not problems, "%d normal sessions failed, first: %s"
                  % (len(problems), problems[:1]))
        rep.below("slowest", max(ok, default=99), 1.0, "s")
        # Every idle connection must still be there and answer.
        finish = {0: (b"STAT", None), 1: (b"STAT", stat_reply(sizes_of([b"idle\r\n"]))),
                  2: (b"T", None), 3: (b"e", OK)}
        alive = 0
        for j, c in enumerate(held):
            line, want = finish[j % 4]
            try:
                got = c.request(line)
                alive += got == want if want else got.startswith((b"+OK", b"-ERR"))
            except (Failure, OSError):
                pass
            c.close()
        rep.fig("idle_still_answered", "%d/%d" % (alive, n_idle))
        rep.check(alive == n_idle, "%d idle connections lost" % (n_idle - alive))
        fd_check(rep, srv, base_fds)
        srv.ensure_alive()
        stop_cleanly(rep, srv)


def baseline(srv, user):
    """Descriptors and resident KiB after one warm-up session, with no connection open."""
    c = Client(srv.port)
    c.login(user)
    c.expect(b"QUIT", QUIT_OK)
    c.close()
    return srv.idle_fds(), srv.rss_kib()


def stop_cleanly(rep, srv):
    status = srv.stop()  # None: killed after no exit within the deadline
    rep.check(status == 0, "exit status %s after SIGTERM" % status if status is not None
              else "no exit within %gs of SIGTERM" % STOP_DEADLINE)


def fd_check(rep, srv, before):
    after = srv.idle_fds()
    rep.fig("fds", "%d->%d" % (before, after))
    rep.check(after <= before, "descriptors leaked: %d before, %d after" % (before, after))


def big_message(size):
    """About `size` bytes of numbered lines; every seventh starts with a dot."""
    lines, total, i = [], 0, 0
    while total < size:
        line = b"%s%07d the quick brown fox jumps over the lazy dog\r\n" % (
            b"." if i % 7 == 0 else b"", i)
        lines.append(line)
        total += len(line)
        i += 1
    return b"".join(lines)


def fill_until_stalled(sock, chunk, stall=0.5, limit=256 * MB, timeout=30.0):
    """Sends chunk after chunk without reading until the socket stays unwritable
    for `stall` seconds. Returns bytes sent, or None when it never stalled."""
    sock.setblocking(False)
    sent, deadline = 0, time.monotonic() + timeout
    with selectors.DefaultSelector() as sel:
        sel.register(sock, selectors.EVENT_WRITE)
        while sent < limit and time.monotonic() < deadline:
            try:
                sent += sock.send(chunk)
                continue
            except BlockingIOError:
                pass
            if not sel.select(stall):
                return sent
    return None


def vanish(ctx, rep):
    rounds = ctx.scale(20, 4)
    big = big_message(20 * MB)
    want_big = hashlib.sha256(retr_reply(big)).hexdigest()
    make_user(ctx.root, b"big", {b"1": big, b"2": b"small\r\n"})
    w_msgs = user_messages(7)
    make_user_with_subfolder(ctx.root, b"w", w_msgs)
    with ctx.server() as srv:
        base_fds, base_rss = baseline(srv, b"w")
        vanished, never_stalled = 0, 0
        for i in range(rounds):
            for mode in ("mid-command", "mid-retr", "full-queue"):
                c = Client(srv.port)
                if mode == "mid-command":
                    c.send(b"USER big\r\nPASS big\r\nRET")
                    if i % 2 == 0:
                        c.read_until(OK + OK)  # nothing unread: a clean FIN
                else:
                    c.login(b"big")
                    c.send(b"RETR 1\r\n")
                    if mode == "mid-retr":
                        c.read_exact(256 * 1024)
                    elif fill_until_stalled(c.sock, b"RETR 1\r\n" * 512) is None:
                        never_stalled += 1
                if i % 2 == 0:
                    c.close()
                else:
                    c.abort()
                vanished += 1
        srv.ensure_alive()
        rep.fig("vanished", vanished)
        rep.check(never_stalled == 0, "%d clients never saw their sends block" % never_stalled)
        # Still serving: a whole 20 MB RETR, a full session, and a half-closed client.
        c = Client(srv.port, timeout=60)
        c.login(b"big")
        got = c.request(b"RETR 1", multi=True)
        rep.check(hashlib.sha256(got).hexdigest() == want_big,
                  "RETR of the 20 MB message after the vanishings is wrong (%d bytes)" % len(got))
        c.expect(b"QUIT", QUIT_OK)
        c.close()
        c = Client(srv.port)
        for line, want, multi in session_script(b"w", w_msgs):
            c.expect(line, want, multi)
        c.send(b"STAT\r\n")
        c.sock.shutdown(socket.SHUT_WR)
        got = c.read_to_eof()
        rep.check(got == stat_reply(sizes_of(message_order(w_msgs))),
                  "half-closed client: %s then no close" % short(got))
        c.close()
        fd_check(rep, srv, base_fds)
        rep.fig("rss_growth", "%.1fMB" % ((srv.rss_kib() - base_rss) / 1024))
        stop_cleanly(rep, srv)


def fdlimit(ctx, rep):
    """A flood of connection attempts against a small descriptor table, held for longer than
    the toolkit's idle worker threads live (30 s), while an open connection keeps working: the
    server keeps a reserve of descriptors for itself and never runs out."""
    limit, attempts = 256, 1000
    reserve = 64
    hold = ctx.scale(32.0, 4.0)
    msgs = {b"1": b"one\r\n", b"2": b"two\r\n"}
    make_user(ctx.root, b"f", msgs)
    stat = stat_reply(sizes_of(message_order(msgs)))
    retr = retr_reply(b"one\r\n")
    with ctx.server(nofile=limit) as srv:
        base_fds, _ = baseline(srv, b"f")
        a = Client(srv.port, timeout=10)
        a.login(b"f")
        a.expect(b"STAT", stat)
        socks = []
        try:
            for _ in range(attempts):
                s = socket.socket()
                s.setblocking(False)
                s.connect_ex((HOST, srv.port))
                socks.append(s)
            # Measure only once the server has taken connections up to its reserve and more
            # are still queued: before, a server that spins on its listening socket would not
            # show.
            wait_until(lambda: srv.open_fds() >= limit - reserve - 8 and srv.accept_queue() > 0,
                       20, "connections taken up to the reserve, more still queued")
            held = srv.open_fds()
            rep.fig("fds_held", "%d/%d" % (held, limit))
            rep.check(held <= limit - reserve + 2, "the server ate into its reserve: %d" % held)
            cpu0, t0 = srv.cpu_seconds(), time.monotonic()
            sessions = 0
            a.timeout = 5.0
            while time.monotonic() - t0 < hold:
                try:
                    a.expect(b"STAT", stat)
                    a.expect(b"RETR 1", retr, True)
                    sessions += 1
                except (Failure, OSError) as e:
                    rep.check(False, "open connection not answered while exhausted: %s" % e)
                    break
                srv.ensure_alive()
                time.sleep(0.25)
            rep.fig("held_s", "%.0f" % (time.monotonic() - t0))
            rep.fig("open_client_rounds", sessions)
            cpu = (srv.cpu_seconds() - cpu0) / (time.monotonic() - t0)
            rep.below("cpu_exhausted", cpu, 0.5, "core")
            srv.ensure_alive()
        finally:
            for s in socks:
                s.close()
        closed = time.monotonic()

        def serves_again():
            try:
                c = Client(srv.port, timeout=1.0)
                c.login(b"f")
                c.expect(b"STAT", stat)
                c.expect(b"QUIT", QUIT_OK)
                c.close()
                return True
            except (Failure, OSError):
                srv.ensure_alive()
                return False

        try:
            wait_until(serves_again, 10, "a new session")
            rep.below("recovery", time.monotonic() - closed, 5.0, "s")
        except Failure as e:
            rep.check(False, str(e))
        a.timeout = 10
        a.expect(b"STAT", stat)
        a.close()
        fd_check(rep, srv, base_fds)
        srv.ensure_alive()
        stop_cleanly(rep, srv)


def long_lines(ctx, rep, port):
    """1 MB lines without CR LF: each must get "-ERR line too long" and a close."""
    ok = 0
    variants = [(b"", b"A"), (b"USER o\r\nPASS o\r\n", b"B"), (b"", b"USER " + b"u")]
    for prefix, start in variants:
        c = Client(port, timeout=15)
        if prefix:
            c.send(prefix)
            c.read_until(OK + OK)
        line = start + b"x" * (MB - len(start))
        sender = threading.Thread(target=_send_quietly, args=(c.sock, line), daemon=True)
        sender.start()
        try:
            got = c.read_to_eof()
        except Failure as e:
            got = b"(no close: %s)" % str(e).encode()
        c.close()
        sender.join(15)
        if rep.check(got == b"-ERR line too long\r\n",
                     "1 MB line after %s -> %s" % (short(prefix), short(got))):
            ok += 1
    rep.fig("long_lines_closed", "%d/%d" % (ok, len(variants)))


def _send_quietly(sock, data):
    try:
        sock.sendall(data)
    except OSError:
        pass  # the server closed first, as it should


def command_flood(ctx, rep, srv, msgs, total):
    """`total` short commands in bursts of 1000 while the replies are read and compared.
    Up to 20 bursts are outstanding: enough replies to fill the server's queue."""
    contents = message_order(msgs)
    sizes = sizes_of(contents)
    cycle = [(b"STAT", stat_reply(sizes)), (b"LIST", list_reply(sizes)),
             (b"RETR 1", retr_reply(contents[0])), (b"RETR 9", b"-ERR no such message\r\n"),
             (b"XTST", b"-ERR XTST not supported\r\n")]
    replies = [cycle[k % len(cycle)][1] for k in range(total)]
    expected = b"".join(replies)
    ends, pos = [], 0
    for r in replies:
        pos += len(r)
        ends.append(pos)
    burst = 1000
    c = Client(srv.port)
    c.login(b"o")
    base_rss = peak_rss = srv.rss_kib()
    sock = c.sock
    sock.setblocking(False)
    pending, sent, matched = bytearray(), 0, 0
    deadline, next_sample = time.monotonic() + 120, 0.0
    with selectors.DefaultSelector() as sel:
        sel.register(sock, selectors.EVENT_READ)
        while matched < len(expected):
            if time.monotonic() > deadline:
                raise Failure("flood: %d of %d replies after 120s"
                              % (bisect.bisect_right(ends, matched), total))
            answered = bisect.bisect_right(ends, matched)
            if not pending and sent < total and sent - answered < 20 * burst:
                n = min(burst, total - sent)
                pending += b"".join(cycle[k % len(cycle)][0] + b"\r\n"
                                    for k in range(sent, sent + n))
                sent += n
            sel.modify(sock, selectors.EVENT_READ | (selectors.EVENT_WRITE if pending else 0))
            for _, events in sel.select(1.0):
                if events & selectors.EVENT_WRITE:
                    try:
                        del pending[:sock.send(pending)]
                    except BlockingIOError:
                        pass
                if events & selectors.EVENT_READ:
                    try:
                        data = sock.recv(MB)
                    except BlockingIOError:
                        continue
                    if not data:
                        raise Failure("flood: server closed after %d replies" % answered)
                    if data != expected[matched:matched + len(data)]:
                        bad = bisect.bisect_right(ends, matched)
                        raise Failure("flood: reply %d wrong: got %s, expected %s" % (
                            bad + 1, short(data[:80]), short(expected[matched:matched + 80])))
                    matched += len(data)
            if time.monotonic() >= next_sample:
                peak_rss, next_sample = max(peak_rss, srv.rss_kib()), time.monotonic() + 0.1
    c.close()
    rep.fig("flood_replies_ok", "%d/%d" % (total, total))
    rep.below("flood_rss_growth", (max(peak_rss, srv.rss_kib()) - base_rss) / 1024, 64, "MB")


def oversize(ctx, rep):
    msgs = {b"1": b".dot first\r\nbody\r\n", b"2": b"two\r\n"}
    make_user(ctx.root, b"o", msgs)
    with ctx.server() as srv:
        base_fds, _ = baseline(srv, b"o")
        long_lines(ctx, rep, srv.port)
        t0 = time.monotonic()
        command_flood(ctx, rep, srv, msgs, ctx.scale(100000, 10000))
        rep.fig("flood_time", "%.1fs" % (time.monotonic() - t0))
        fd_check(rep, srv, base_fds)
        srv.ensure_alive()
        stop_cleanly(rep, srv)


def noread(ctx, rep):
    msgs = {b"1": big_message(MB)}
    make_user(ctx.root, b"n", msgs)
    w_msgs = user_messages(3)
    make_user_with_subfolder(ctx.root, b"w", w_msgs)
    with ctx.server() as srv:
        base_fds, base_rss = baseline(srv, b"w")
        c = Client(srv.port)
        c.login(b"n")
        t0 = time.monotonic()
        sent = fill_until_stalled(c.sock, b"RETR 1\r\n" * 512, stall=2.0, timeout=60)
        rep.check(sent is not None, "the server kept reading from a client that never reads")
        if sent is not None:
            rep.fig("commands_before_block", sent // 8)
            rep.fig("blocked_after", "%.1fs" % (time.monotonic() - t0 - 2.0))
        unread = c.server_unread()
        # The stuck client must not stall anyone else.
        times, problems = asyncio.run(run_sessions(
            srv.port, [session_script(b"w", w_msgs)], 30, together=False))
        rep.check(not problems, "another client while one is stuck: %s" % problems)
        # The whole session just served proves the server was running all along; in that
        # time it must not have read a byte more from the stuck client.
        still_unread = c.server_unread()
        rep.fig("unread_by_server", "%s->%s" % (unread, still_unread))
        rep.check(unread and still_unread == unread,
                  "the server went on reading from a client that never reads: %s bytes "
                  "unread when it stalled, %s after another session" % (unread, still_unread))
        rep.below("rss_growth", (srv.rss_kib() - base_rss) / 1024, 64, "MB")
        c.abort()
        fd_check(rep, srv, base_fds)
        srv.ensure_alive()
        stop_cleanly(rep, srv)


def longrun(ctx, rep):
    sessions = ctx.scale(20000, 2000)
    msgs = {b"%d" % k: b"message %d\r\n" % k * (k % 5 + 1) for k in range(200)}
    make_user(ctx.root, b"l", msgs)
    want_list = list_reply(sizes_of(message_order(msgs)))
    with ctx.server() as srv:
        t0, ends = time.monotonic(), []
        base_rss = base_fds = peak_rss = None
        for k in range(sessions):
            c = Client(srv.port, timeout=10)
            c.login(b"l")
            c.expect(b"LIST", want_list, multi=True)
            c.expect(b"QUIT", QUIT_OK)
            c.close()
            if k == 0:
                base_fds, base_rss = srv.idle_fds(), srv.rss_kib()
                peak_rss = base_rss
            elif k % 500 == 0:
                peak_rss = max(peak_rss, srv.rss_kib())
            ends.append(time.monotonic())
        peak_rss = max(peak_rss, srv.rss_kib())
        rep.fig("sessions", sessions)
        # Sessions per second over the first and the last 1000: a slowdown shows here.
        rep.fig("rate", "%.0f/s->%.0f/s" % (1000 / (ends[999] - t0), 1000 / (ends[-1] - ends[-1001])))
        rep.below("rss_growth", (peak_rss - base_rss) / 1024, 200, "MB")
        fd_check(rep, srv, base_fds)
        srv.ensure_alive()
        stop_cleanly(rep, srv)


def pinning(ctx, rep):
    """What any client can make the server keep: huge user names and request lines in the
    records of closed connections, and logins to large maildrops, held open or closed at once.
    The records keep short, capped fields and the sessions share one listing."""
    big, many = ctx.scale(20000, 2000), ctx.scale(5000, 500)
    make_user(ctx.root, b"big", {b"%06d" % k: b"x" for k in range(big)})
    make_user(ctx.root, b"many", {b"%06d" % k: b"y" for k in range(many)})
    with ctx.server() as srv:
        baseline(srv, b"many")
        rss0 = srv.rss_kib()
        junk = b"J" * (60 * 1024)
        for _ in range(100):
            c = Client(srv.port, timeout=10)
            c.send(b"USER " + junk + b"\r\n" + junk + b"\r\n")
            c.read_until(OK)
            c.read_until(b" not supported\r\n")
            c.sync()
            c.close()
        srv.idle_fds()
        rep.below("junk_growth", (srv.rss_kib() - rss0) / 1024, 4, "MB")
        # 100 logins to a 5,000-message maildrop, each closed right after PASS.
        rss1 = srv.rss_kib()
        for _ in range(100):
            c = Client(srv.port, timeout=10)
            c.login(b"many")
            c.close()
        srv.idle_fds()
        rep.below("closed_logins_growth", (srv.rss_kib() - rss1) / 1024, 8, "MB")
        # 200 sessions held open on a 20,000-message maildrop.
        rss2 = srv.rss_kib()
        held = []
        for _ in range(200):
            c = Client(srv.port, timeout=30)
            c.login(b"big")
            held.append(c)
        # Each one-byte message goes out with the CR LF its line gets.
        held[-1].expect(b"STAT", b"+OK %d %d\r\n" % (big, 3 * big))
        rep.below("held_sessions_growth", (srv.rss_kib() - rss2) / 1024, 48, "MB")
        for c in held:
            c.close()
        srv.ensure_alive()
        stop_cleanly(rep, srv)


def snapshot(top):
    """Every file under top (symlinks not followed) with its content."""
    out = {}
    for folder, _, files in os.walk(top):
        for name in files:
            path = os.path.join(folder, name)
            with open(path, "rb") as f:
                out[path] = f.read()
    return out


def paths(ctx, rep):
    root = os.fsencode(ctx.root)
    outside = os.path.join(os.fsencode(ctx.tmp), b"outside")
    victim = os.path.join(outside, b"victim")
    make_user(outside, b"victim", {b"%d" % k: b"CANARY victim %d\r\n" % k for k in (1, 2, 3)})
    secret = os.path.join(outside, b"secret")
    with open(secret, "wb") as f:
        f.write(b"CANARY secret\r\n")
    canaries = snapshot(outside)
    # Folders that a name check skipped by mistake would open.
    for name in (b"a", b"a:b", b"a*", b"a?", b"a\\b", b"a\tb", b"a\x7fb", b"a\x01b"):
        make_user(root, name, {b"1": b"not for %s\r\n" % name})
    os.symlink(victim, os.path.join(root, b"evil"))
    os.symlink(b"../outside/victim", os.path.join(root, b"evil2"))
    long_ok = b"x" * 255
    make_user(root, long_ok, {b"1": b"long name\r\n"})
    bob = {b"1": b"bob one\r\n", b"4": b"bob four\r\n"}
    bob_dir = make_user(root, b"bob", bob)
    os.symlink(secret, os.path.join(bob_dir, b"2"))
    os.symlink(victim, os.path.join(bob_dir, b"3"))
    os.symlink(b"../../outside/secret", os.path.join(bob_dir, b"5"))

    bad = [b"", b".", b"..", b"../outside/victim", b"..\\outside\\victim", victim,
           b"bob/../../outside/victim", b"../" * 50 + b"etc/passwd", b"a\x00b", b"a\tb",
           b"a\x7fb", b"a\x01b", b"a:b", b"a*", b"a?", b"a\\b", b"x" * 256, b"x" * 4096]
    transcript = bytearray()
    with ctx.server() as srv:
        outcomes = {}
        for name in bad + [b"evil", b"evil2"]:
            c = Client(srv.port, timeout=10)
            try:
                c.request(b"USER " + name)
                got = c.request(b"PASS " + name)
                transcript += got
                outcomes[name] = "refused" if got.startswith(b"-ERR") else "empty"
                if outcomes[name] == "empty":  # only a symlinked maildrop may open, empty
                    rep.check(name in (b"evil", b"evil2"), "PASS %s -> %s" % (short(name), short(got)))
                    got = c.request(b"STAT")
                    rep.check(got == b"+OK 0 0\r\n", "maildrop %s: STAT -> %s" % (short(name), short(got)))
                for line in (b"STAT", b"LIST", b"RETR 1", b"RETR 2", b"DELE 1", b"DELE 2", b"QUIT"):
                    transcript += c.request(line, multi=line in (b"LIST", b"RETR 1", b"RETR 2"))
            except (Failure, OSError) as e:
                rep.check(c.eof or isinstance(e, OSError), "user %s: %s" % (short(name), e))
                outcomes.setdefault(name, "closed")
            c.close()
        refused = sum(outcomes.get(n) in ("refused", "closed") for n in bad)
        rep.fig("bad_names_refused", "%d/%d" % (refused, len(bad)))
        rep.fig("symlinked_drops", "%s,%s" % (outcomes.get(b"evil"), outcomes.get(b"evil2")))

        c = Client(srv.port)
        c.login(long_ok)
        c.expect(b"STAT", stat_reply(sizes_of([b"long name\r\n"])))
        c.close()

        # Symlinked messages are not messages; a file swapped for one after the listing
        # must not be read through it either.
        c = Client(srv.port)
        c.login(b"bob")
        contents = message_order(bob)
        c.expect(b"STAT", stat_reply(sizes_of(contents)))
        c.expect(b"LIST", list_reply(sizes_of(contents)), multi=True)
        c.expect(b"RETR 1", retr_reply(contents[0]), multi=True)
        c.expect(b"RETR 3", b"-ERR no such message\r\n")
        os.symlink(secret, os.path.join(bob_dir, b".swap"))
        os.replace(os.path.join(bob_dir, b".swap"), os.path.join(bob_dir, b"4"))
        got = c.request(b"RETR 2", multi=True)
        rep.check(b"CANARY" not in got, "RETR of a message swapped for a symlink to a file "
                  "outside the root -> %s" % short(got))
        c.expect(b"DELE 1", OK)
        c.expect(b"DELE 2", OK)
        c.expect(b"QUIT", QUIT_OK)
        c.close()
        left = sorted(set(os.listdir(bob_dir)) - {b"4"})  # the swapped-in link may stay
        rep.check(left == [b"2", b"3", b"5"],
                  "bob's folder after QUIT: %s" % sorted(os.listdir(bob_dir)))
        rep.check(b"CANARY" not in transcript, "a canary was served: %s"
                  % short(transcript[transcript.find(b"CANARY") - 40:][:120]))
        after = snapshot(outside)
        intact = sum(after.get(p) == data for p, data in canaries.items())
        rep.fig("canaries_intact", "%d/%d" % (intact, len(canaries)))
        changed = sorted(p for p in set(canaries) | set(after) if canaries.get(p) != after.get(p))
        rep.check(not changed, "files outside the root changed: %s" % changed)
        srv.ensure_alive()
        stop_cleanly(rep, srv)


def many_files(folder, count):
    """count one-line messages named by unpadded numbers: byte order is not numeric order."""
    os.makedirs(folder)
    for k in range(count):
        with open(os.path.join(folder, b"%d" % k), "wb") as f:
            f.write(b"m%d\r\n" % k)
    return sorted(b"%d" % k for k in range(count))


def mark_every_other(c, names):
    """DELE of every even message number, in bursts; returns the marked names."""
    numbers = list(range(2, len(names) + 1, 2))
    for i in range(0, len(numbers), 1000):
        part = numbers[i:i + 1000]
        c.send(b"".join(b"DELE %d\r\n" % n for n in part))
        got = c.read_exact(len(OK) * len(part))
        if got != OK * len(part):
            raise Failure("DELE burst -> %s" % short(got))
    return {names[n - 1] for n in numbers}


def crash(ctx, rep):
    root = os.fsencode(ctx.root)
    ten = {b"%02d" % k: b"keep %d\r\n" % k for k in range(10)}
    drop = make_user(root, b"k", ten)
    count = ctx.scale(20000, 2000)
    with ctx.server() as srv:
        # Marked, then the client resets: nothing may be deleted.
        c = Client(srv.port)
        c.login(b"k")
        for n in range(1, 11):
            c.expect(b"DELE %d" % n, OK)
        c.abort()
        srv.idle_fds()  # the server has dropped the connection; fails if it never does
        rep.check(len(os.listdir(drop)) == 10, "marked files deleted by a client that reset")
        # Marked, then the server is killed: nothing may be deleted.
        c = Client(srv.port)
        c.login(b"k")
        for n in range(1, 11):
            c.expect(b"DELE %d" % n, OK)
        srv.kill()
        c.close()
        left = len(os.listdir(drop))
        rep.fig("kept_after_kill_before_quit", "%d/10" % left)
        rep.check(left == 10, "%d files deleted by a SIGKILL before QUIT" % (10 - left))

    folder = os.path.join(root, b"m")
    names = many_files(folder, count)
    with ctx.server() as srv:
        c = Client(srv.port, timeout=60)
        c.login(b"m")
        marked = mark_every_other(c, names)
        ordered = sorted(marked)
        sample = [os.path.join(folder, n) for n in ordered[::max(1, len(ordered) // 40)]]
        c.send(b"QUIT\r\n")
        wait_until(lambda: sum(not os.path.exists(p) for p in sample) >= len(sample) // 4
                   or not srv.alive(), 30, "deletions to start", interval=0.001)
        srv.kill()
        c.close()
    left = set(os.listdir(folder))
    gone_unmarked = len(set(names) - marked - left)
    rep.fig("files", count)
    rep.fig("marked_deleted_at_kill", "%d/%d" % (len(marked - left), len(marked)))
    rep.fig("unmarked_deleted", gone_unmarked)
    rep.check(gone_unmarked == 0, "%d unmarked files deleted by a QUIT cut short" % gone_unmarked)

    # The same QUIT left to finish deletes exactly the marked files.
    folder = os.path.join(root, b"q")
    names = many_files(folder, ctx.scale(4000, 1000))
    with ctx.server() as srv:
        c = Client(srv.port, timeout=60)
        c.login(b"q")
        marked = mark_every_other(c, names)
        c.expect(b"QUIT", QUIT_OK)
        c.close()
        left = set(os.listdir(folder))
        rep.check(left == set(names) - marked, "QUIT of %d marked left %d of %d files"
                  % (len(marked), len(left), len(names)))
        stop_cleanly(rep, srv)


# "real-pw", at a cost (some 60 ms a check here) that makes a flood of guesses felt.
FLOOD_HASH = (b"$6$rounds=100000$floodsalt$XMxwL5tsctRpmVWs3aVbYuNOZm9pBw9TuA8PbGrazzS8LyQHVb78E"
              b"A94eHWtLvhGb60IA74UNRWLRJd3/2fhB/")


def timed_logins(port, count, source):
    """Seconds from PASS to its +OK for `count` logins from the address `source`."""
    times = []
    for _ in range(count):
        c = Client(port, timeout=60, source=source)
        c.expect(b"USER real", OK)
        started = time.monotonic()
        c.expect(b"PASS real-pw", OK)
        times.append(time.monotonic() - started)
        c.close()
    return sorted(times)[len(times) // 2]


def password_flood(ctx, rep):
    """Fire-and-forget guesses from one address: each sends USER and PASS and hangs up. The
    checks they leave are rationed per address and dropped once their connection is gone, so
    a login from another address waits for none of them, and SIGTERM waits for none."""
    passwords = os.path.join(ctx.tmp, "passwords")
    with open(passwords, "wb") as f:
        f.write(b"real:" + FLOOD_HASH + b"\n")
    os.chmod(passwords, 0o600)
    make_user(ctx.root, b"real", {b"1": b"x\r\n"})
    with ctx.server(["--passwords", passwords]) as srv:
        normal = timed_logins(srv.port, 5, "127.0.0.2")
        flood = ctx.scale(1000, 200)
        for _ in range(flood):
            with socket.create_connection((HOST, srv.port), timeout=10) as sock:
                _send_quietly(sock, b"USER real\r\nPASS guess\r\n")
        under_flood = timed_logins(srv.port, 5, "127.0.0.2")
        rep.fig("login_ms", "%.0f normal, %.0f under a flood of %d"
                % (normal * 1000, under_flood * 1000, flood))
        # Unrationed, the flood's checks would come first: seconds of hashing.
        rep.below("login_delay_under_flood", under_flood - normal, 1.0, "s")
        stop_cleanly(rep, srv)


SCENARIOS = {f.__name__: f for f in (concurrent, idle, idle10k, vanish, fdlimit, oversize, noread,
                                     longrun, pinning, paths, crash, password_flood)}
