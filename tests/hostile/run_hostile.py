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
import shutil
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import harness  # noqa: E402
import scenarios  # noqa: E402


class Context:
    def __init__(self, binary, quick, tmp):
        self.binary, self.quick, self.tmp = binary, quick, tmp
        self.root = os.path.join(tmp, "root")
        os.mkdir(self.root)

    def scale(self, full, quick):
        return quick if self.quick else full

    def server(self, **kw):
        return harness.Server(self.binary, self.root, self.tmp, **kw)


def run_one(name, binary, quick, state):
    rep = harness.Report()
    tmp = state["tmp"] = tempfile.mkdtemp(prefix="drennik-hostile-%s-" % name)
    t0 = time.monotonic()
    try:
        scenarios.SCENARIOS[name](Context(binary, quick, tmp), rep)
    except Exception as e:  # a scenario that breaks is a failed one, not a crashed run
        rep.problems.append("%s: %s" % (type(e).__name__, e))
    finally:
        harness.kill_all()
        shutil.rmtree(tmp, ignore_errors=True)
    rep.fig("time", "%.1fs" % (time.monotonic() - t0))
    verdict = "FAIL: " + "; ".join(rep.problems) if rep.problems else "PASS"
    with state["lock"]:  # held for good by the watchdog once it fires
        print("%-10s %s  %s" % (name, " ".join(rep.figures), verdict), flush=True)
    return not rep.problems


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--binary", default=os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "..", "build", "drennik"))
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
        harness.kill_all()
        if state["tmp"]:
            shutil.rmtree(state["tmp"], ignore_errors=True)
        passed = sum(state["results"])
        print("%d passed, %d failed" % (passed, len(names) - passed), flush=True)
        os._exit(3)

    watchdog = threading.Timer(args.timeout, overrun)
    watchdog.daemon = True
    watchdog.start()

    fds = harness.raise_own_fd_limit()
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
