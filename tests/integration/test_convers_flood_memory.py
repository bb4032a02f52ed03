"""The real palavoro program with 100 stations in Root and a neighbour that
sends 3 MB of channel lines at once, while the engine reads at 30 MB/s: the
neighbour's lines are taken only as fast as the stations' output goes out, so
the program stays small, and every line reaches every station."""

import os
import threading
import time
import unittest

from agwpeer import DEFAULT_TIMEOUT
from conversnet import PREFIX, ConversPeer, Node, wait_until

STATIONS = 100
LINES = 3000
LINE = b"x" * 1000
READ_RATE = 30 << 20


def resident_kib(pid, field="VmHWM:"):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith(field):
                return int(line.split()[1])
    raise RuntimeError("no %s for %d" % (field, pid))


class FloodMemoryTest(unittest.TestCase):
    def test_a_neighbours_3_mb_to_100_stations_keep_the_program_under_64_mb(self):
        # A sanitized build keeps freed memory aside to catch late uses; kept
        # small, the memory measured is still the program's own.
        sanitizer = ":".join(filter(None, [os.environ.get("ASAN_OPTIONS"), "quarantine_size_mb=1"]))
        node = Node(self, "N0SRV", "pvnode", {}, links={"wam1": "*"}, env={"ASAN_OPTIONS": sanitizer}).start()
        calls = ["N0S%03d" % i for i in range(STATIONS)]
        for call in calls:
            node.peer.connect_station(1, call, "N0SRV")
        node.peer.collect(quiet=1.0)
        neighbour = ConversPeer.dial(node.listen_port)
        self.addCleanup(neighbour.close)
        neighbour.send(PREFIX + b"HOST wam1 W-2.81 dpu\n" + PREFIX + b"USER carol wam1 1 -1 0 @\n")
        neighbour.command(b"HOST")
        wait_until(lambda: node.remote_users(), what="carol on the node")
        node.peer.collect(quiet=0.5)
        before = resident_kib(node.run.pid, "VmRSS:")
        flood = b"".join(PREFIX + b"CMSG carol 0 %d %s\n" % (i, LINE) for i in range(LINES))
        sender = threading.Thread(target=neighbour.send, args=(flood,), daemon=True)
        sender.start()

        # The engine reads at its own pace and counts what comes.
        conn = node.peer.conn
        received, started, quiet_since = 0, time.monotonic(), None
        while quiet_since is None or time.monotonic() - quiet_since < 1.0:
            conn.settimeout(0.2)
            try:
                chunk = conn.recv(1 << 16)
            except OSError:
                chunk = b""
            if chunk:
                received += len(chunk)
                quiet_since = None
                time.sleep(max(0.0, started + received / READ_RATE - time.monotonic()))
            elif quiet_since is None:
                quiet_since = time.monotonic()
        sender.join(DEFAULT_TIMEOUT)
        self.assertGreater(received, STATIONS * LINES * len(LINE))
        peak = resident_kib(node.run.pid)
        self.assertLess(peak - before, 32 << 10)
        # A sanitized build (the test script's second run) is larger by itself.
        if "ASAN_OPTIONS" not in os.environ:
            self.assertLess(peak, 64 << 10)


if __name__ == "__main__":
    unittest.main()
