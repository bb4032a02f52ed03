"""The program as a Type=notify service: given a NOTIFY_SOCKET of its own (as
systemd gives one), it says READY=1 once the engine has taken the callsign, or
once the first try found no engine, with a STATUS= line, and sends WATCHDOG=1
keep-alives while WATCHDOG_USEC asks for them."""

import os
import socket
import tempfile
import time
import unittest

from agwpeer import AgwPeer, PalavoroRun, free_port, ini_text


class ServiceNotifyTest(unittest.TestCase):
    def setUp(self):
        self.scratch = tempfile.mkdtemp(prefix="palavoro-notify-")
        self.path = os.path.join(self.scratch, "notify")
        self.socket = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.socket.bind(self.path)
        self.addCleanup(self.socket.close)

    def start(self, port, watchdog_usec=None):
        env = {"NOTIFY_SOCKET": self.path}
        if watchdog_usec:
            env["WATCHDOG_USEC"] = str(watchdog_usec)
        ini = ini_text({"PALAVORO": {"TCP_PORT": port, "CALLSIGN": "N0SRV-5", "STATUS": "NOT"}})
        run = PalavoroRun(ini=ini, env=env)
        self.addCleanup(run.cleanup)
        self.addCleanup(run.stop)
        return run.start()

    def messages(self, until, timeout=20):
        """Every variable sent until `until(seen)` holds, in order."""
        seen = []
        deadline = time.monotonic() + timeout
        while not until(seen):
            left = deadline - time.monotonic()
            if left <= 0:
                self.fail("no such notification within %d s: %r" % (timeout, seen))
            self.socket.settimeout(left)
            try:
                seen += self.socket.recv(4096).decode().splitlines()
            except socket.timeout:
                pass
        return seen

    def test_ready_once_the_engine_took_the_callsign_with_its_status_and_keep_alives(self):
        peer = AgwPeer()
        self.addCleanup(peer.close)
        run = self.start(peer.port, watchdog_usec=2000000)
        peer.accept()
        seen = self.messages(lambda s: "WATCHDOG=1" in s and any(l.startswith("STATUS=") for l in s))
        self.assertNotIn("READY=1", seen, "ready before the engine answered")
        peer.serve_startup()
        seen = self.messages(lambda s: "READY=1" in s)
        engine = "127.0.0.1:%d" % peer.port
        self.assertEqual([l for l in seen if l.startswith("STATUS=")][-1],
                         "STATUS=0 stations on; link ready: N0SRV-5 registered at " + engine)
        # Keep-alives go on, at most every half second for a two-second watchdog.
        started = time.monotonic()
        self.messages(lambda s: s.count("WATCHDOG=1") >= 3)
        self.assertLess(time.monotonic() - started, 3)
        self.assertTrue(run.running())

    def test_ready_while_it_waits_for_an_engine_and_the_status_says_so(self):
        port = free_port()
        run = self.start(port)
        seen = self.messages(lambda s: "READY=1" in s)
        self.assertIn("STATUS=0 stations on; waiting for the engine at 127.0.0.1:%d" % port, seen)
        self.assertNotIn("WATCHDOG=1", seen, "keep-alives only when asked for")
        self.assertTrue(run.running())


if __name__ == "__main__":
    unittest.main(verbosity=2)
