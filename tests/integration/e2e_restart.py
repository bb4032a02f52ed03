#!/usr/bin/env python3
"""The engine goes away under a running server: node 0's Dire Wolf is stopped by its PID and started
again on the same configuration and port, and the server serves stations again."""

import os
import sys
import time
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from airtest import AirTestCase  # noqa: E402

AWAY = 2.0
RETURN_LIMIT = 10.0


class EngineRestart(AirTestCase):
    FIRST_PORT = 18050

    def test_a_station_is_welcomed_within_10_s_of_the_engines_return(self):
        self.serve()
        self.air.stop_node(0)
        time.sleep(AWAY)
        self.air.start_node(0)
        back = time.monotonic()

        # At once: its first calls go unanswered until the server has registered again.
        aaa = self.user(1, "N0AAA", timeout=RETURN_LIMIT)
        left = max(0.1, RETURN_LIMIT - (time.monotonic() - back))
        self.assertEqual(aaa.wait_data(self.SERVER, until=self.prompt("N0AAA"), timeout=left), self.welcome("N0AAA"))
        print("\n  welcomed %.1f s after the engine's return" % (time.monotonic() - back), file=sys.stderr)


if __name__ == "__main__":
    unittest.main(verbosity=2)
