#!/usr/bin/env python3
"""Run the drennik end-to-end tests against a built binary.

    python3 tests/e2e/run_e2e.py --binary build/drennik [-k PATTERN] [TEST ...]

TEST names a module, class or method (test_robustness.IdleTimeout). -k keeps
the tests whose names contain PATTERN. Exits 0 only when every test passed.
"""

import argparse
import faulthandler
import os
import sys
import threading
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--binary", default=os.environ.get("DRENNIK_BIN"),
                        help="path to the drennik executable "
                             "(default: $DRENNIK_BIN, else build/drennik)")
    parser.add_argument("-k", dest="patterns", action="append", default=[],
                        help="only run tests whose name contains this")
    parser.add_argument("--timeout", type=float, default=900,
                        help="stop everything after this many seconds (default 900)")
    parser.add_argument("-q", "--quiet", action="store_true")
    parser.add_argument("tests", nargs="*")
    args = parser.parse_args()

    binary = args.binary or os.path.join(HERE, "..", "..", "build", "drennik")
    binary = os.path.abspath(binary)
    if not (os.path.isfile(binary) and os.access(binary, os.X_OK)):
        print("run_e2e: no executable drennik at %s" % binary, file=sys.stderr)
        return 2
    os.environ["DRENNIK_BIN"] = binary

    sys.path.insert(0, HERE)
    sys.path.insert(0, os.path.join(HERE, "..", "pylib"))
    from drennik import kill_all_processes

    def overrun():
        print("\nrun_e2e: the suite ran longer than %ss; stacks follow" % args.timeout,
              file=sys.stderr, flush=True)
        faulthandler.dump_traceback(all_threads=True)
        kill_all_processes()
        os._exit(3)

    watchdog = threading.Timer(args.timeout, overrun)
    watchdog.daemon = True
    watchdog.start()

    loader = unittest.TestLoader()
    if args.patterns:
        loader.testNamePatterns = ["*%s*" % p for p in args.patterns]
    if args.tests:
        suite = loader.loadTestsFromNames(args.tests)
    else:
        suite = loader.discover(HERE, pattern="test_*.py", top_level_dir=HERE)

    runner = unittest.TextTestRunner(verbosity=1 if args.quiet else 2)
    try:
        result = runner.run(suite)
    finally:
        watchdog.cancel()
        kill_all_processes()

    def test_id(test):
        # A failing subtest stands for the test it belongs to.
        return getattr(test, "test_case", test).id()

    failed = len({test_id(t) for t, _ in result.failures + result.errors}
                 | {test_id(t) for t in result.unexpectedSuccesses})
    skipped = len(result.skipped)
    passed = max(0, result.testsRun - failed - skipped)
    print("%d passed, %d failed, %d skipped" % (passed, failed, skipped))
    return 0 if result.wasSuccessful() and result.testsRun > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
