#!/usr/bin/env python3
"""Hostile-client reliability scenarios against a built drennik, over loopback.

    python3 tests/hostile/run_hostile.py --binary build/drennik [SCENARIO ...] [--quick]

Each scenario starts its own server on a fresh temporary root and prints one
line: its name, its figures, PASS or FAIL (with what was missed). The last line
is "N passed, N failed"; the exit status is non-zero when any scenario failed.
"""

import argparse
import faulthandler
import os
import resource
import shutil
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "pylib"))

import drennik  # noqa: E402
import scenarios  # noqa: E402


class Report:
    """Figures and missed thresholds of one scenario."""

    def __init__(self):
        self.figures = []
        self.problems = []

    def fig(self, name, value):
        self.figures.append("%s=%s" % (name, value))

    def check(self, ok, problem):
        if not ok:
            self.problems.append(problem)
        return ok

    def below(self, name, value, limit, unit=""):
        """A measured threshold: printed as name=value<limit, missed when value >= limit."""
        self.fig(name, "%.3g%s(<%g)" % (value, unit, limit))
        return self.check(value < limit, "%s %.3g%s, limit %g" % (name, value, unit, limit))


def raise_own_fd_limit(want=65536):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft >= want:
        return soft
    try:
        resource.setrlimit(resource.RLIMIT_NOFILE, (want, max(want, hard)))
    except (ValueError, OSError):  # not root: take what the hard limit allows
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    return resource.getrlimit(resource.RLIMIT_NOFILE)[0]


class Context:
    def __init__(self, binary, quick, tmp):
        self.binary, self.quick, self.tmp = binary, quick, tmp
        self.root = os.path.join(tmp, "root")
        os.mkdir(self.root)

    def scale(self, full, quick):
        return quick if self.quick else full

    def server(self, args=(), **kw):
        """A server on this root, started by `with`. Every client here comes
        from 127.0.0.1, so the per-address limit is lifted as for any load
        test; a scenario that tests the limits passes its own."""
        return drennik.Server(self.root, binary=self.binary,
                              args=["--max-per-address", "0", "--max-connections", "0"] + list(args),
                              **kw)


def run_one(name, binary, quick, state):
    rep = Report()
    tmp = state["tmp"] = tempfile.mkdtemp(prefix="drennik-hostile-%s-" % name)
    t0 = time.monotonic()
    try:
        scenarios.SCENARIOS[name](Context(binary, quick, tmp), rep)
    except Exception as e:  # a scenario that breaks is a failed one, not a crashed run
        rep.problems.append("%s: %s" % (type(e).__name__, e))
    finally:
        drennik.kill_all_processes()
        shutil.rmtree(tmp, ignore_errors=True)
    rep.fig("time", "%.1fs" % (time.monotonic() - t0))
    verdict = "FAIL: " + "; ".join(rep.problems) if rep.problems else "PASS"
    with state["lock"]:  # held for good by the watchdog once it fires
        print("%-10s %s  %s" % (name, " ".join(rep.figures), verdict), flush=True)
    return not rep.problems


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--binary", default=os.path.join(HERE, "..", "..", "build", "drennik"))
    parser.add_argument("--quick", action="store_true", help="smaller counts, for a smoke run")
    parser.add_argument("--timeout", type=float, default=600,
                        help="stop everything after this many seconds (default 600)")
    parser.add_argument("scenario", nargs="*", help="any of: " + " ".join(scenarios.SCENARIOS))
    args = parser.parse_args()

    binary = os.path.abspath(args.binary)
    if not os.access(binary, os.X_OK):
        parser.error("no executable server at %s" % binary)
    unknown = [s for s in args.scenario if s not in scenarios.SCENARIOS]
    if unknown:
        parser.error("unknown scenario(s): %s" % " ".join(unknown))

    names = args.scenario or list(scenarios.SCENARIOS)
    state = {"results": [], "tmp": None, "lock": threading.Lock()}

    def overrun():
        state["lock"].acquire()
        print("run_hostile: still running after %gs; stacks follow" % args.timeout,
              file=sys.stderr, flush=True)
        faulthandler.dump_traceback(all_threads=True)
        drennik.kill_all_processes()
        if state["tmp"]:
            shutil.rmtree(state["tmp"], ignore_errors=True)
        passed = sum(state["results"])
        print("%d passed, %d failed" % (passed, len(names) - passed), flush=True)
        os._exit(3)

    watchdog = threading.Timer(args.timeout, overrun)
    watchdog.daemon = True
    watchdog.start()

    fds = raise_own_fd_limit()
    print("run_hostile: %s, descriptor limit %d%s" % (binary, fds, ", quick" if args.quick else ""),
          flush=True)
    for name in names:
        state["results"].append(run_one(name, binary, args.quick, state))
    with state["lock"]:
        watchdog.cancel()
        passed = sum(state["results"])
        print("%d passed, %d failed" % (passed, len(names) - passed), flush=True)
    return 0 if passed == len(names) else 1


if __name__ == "__main__":
    sys.exit(main())
