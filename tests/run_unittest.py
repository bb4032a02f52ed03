"""Runs the unittest tests of one script for CTest: run_unittest.py SCRIPT.

Exit status 0 when every test ran and passed, 1 when one failed, and 77 when
none failed but some were skipped (the tests register 77 as their
SKIP_RETURN_CODE, so CTest reports them as not run rather than passed).
Under CI (CI=true), where scripts/test.sh has installed every tool, a skip
is a failure."""

import importlib
import os
import sys
import unittest

SKIPPED = 77


def under_ci():
    return os.environ.get("CI", "").lower() in ("true", "1", "yes")


def main(path):
    path = os.path.abspath(path)
    sys.path.insert(0, os.path.dirname(path))
    name = os.path.splitext(os.path.basename(path))[0]
    skipped = []
    try:
        # The script's folder leads sys.path, so its name finds it first.
        module = importlib.import_module(name)
    except unittest.SkipTest as skip:
        skipped.append((name, str(skip)))
        result = None
    else:
        suite = unittest.defaultTestLoader.loadTestsFromModule(module)
        result = unittest.TextTestRunner(stream=sys.stdout, verbosity=2).run(suite)
        if not result.wasSuccessful():
            return 1
        if result.testsRun == 0:
            print("%s: no tests" % name)
            return 1
        skipped.extend((str(test), reason) for test, reason in result.skipped)
    if not skipped:
        return 0
    for test, reason in skipped:
        print("SKIPPED %s: %s" % (test, reason))
    if under_ci():
        print("A skip fails under CI: scripts/install-deps.sh --tests installs what every test needs.")
        return 1
    return SKIPPED


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    sys.exit(main(sys.argv[1]))
