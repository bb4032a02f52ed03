"""The polite stop of the real program: on SIGTERM or SIGINT every connected
station is told and disconnected before the program ends. Headless, against a
scripted AGWPE peer on 127.0.0.1 that answers like an engine ("Y" with nothing
outstanding, "d" with the station's disconnect notice)."""

import signal
import subprocess
import time
import unittest

from agwpeer import AgwPeer, PalavoroRun, ini_text

SERVER = "N0SRV"
STATIONS = ("N1AAA", "N2BBB")
NOTICE = "\r--- Server shutting down, 73!\r"
# The program has at most 10 s to see every station out; a little more for a busy machine.
STOP_LIMIT = 13.0
# With an engine that answers at once, it ends as soon as all are out, well before that.
ALL_OUT = 5.0


def prompt(call):
    return "\r[0]{%s de %s}:\r" % (call, SERVER)


class PoliteStopTest(unittest.TestCase):
    maxDiff = None

    def run_until_stopped(self, number, files):
        """Two stations connected, then the signal; returns (frames after the signal, exit status, seconds)."""
        peer = AgwPeer(auto_answer=True)
        self.addCleanup(peer.close)
        run = PalavoroRun(ini_text({"PALAVORO": {"TCP_PORT": peer.port, "CALLSIGN": SERVER}}), files=files)
        self.addCleanup(run.cleanup)
        self.addCleanup(run.stop)
        run.start()
        peer.accept()
        peer.wait_for("R")
        for port, call in enumerate(STATIONS, 1):
            peer.connect_station(port, call, SERVER)
            peer.wait_for_data_to(call, contains=prompt(call))
        peer.collect()

        run.signal(number)
        signalled = time.monotonic()
        after = []
        deadline = time.monotonic() + STOP_LIMIT
        # Until the connection ends (at the latest when the program does; what it sent before is read first).
        while time.monotonic() < deadline:
            try:
                frame = peer.recv_frame(0.2)
            except ConnectionError:
                break
            if frame is not None:
                after.append(frame)
        try:
            status = run.wait(max(0.1, deadline - time.monotonic()))
        except subprocess.TimeoutExpired:
            status = "still running %.0f s after the signal" % STOP_LIMIT
        return after, status, time.monotonic() - signalled

    def test_each_station_is_told_and_disconnected_then_the_program_ends_with_0(self):
        cases = (
            (signal.SIGTERM, None, NOTICE),
            (signal.SIGINT, {"TEXT/SHUTDOWN.INF": "Back at 20:00\r\n"}, "Back at 20:00\r"),
        )
        for number, files, notice in cases:
            with self.subTest(signal=signal.Signals(number).name, notice=notice):
                after, status, seconds = self.run_until_stopped(number, files)
                for port, call in enumerate(STATIONS, 1):
                    mine = [f for f in after if f.call_to == call]
                    self.assertTrue(all(f.server_port == port and f.call_from == SERVER for f in mine), mine)
                    # The station's frames: text, then the drain's "Y" questions, then one "d", then nothing.
                    kinds = "".join(f.kind for f in mine)
                    self.assertRegex(kinds, r"^D+Y*d$", "frames to %s: %r" % (call, mine))
                    said = "".join(f.text for f in mine if f.kind == "D")
                    self.assertTrue(said.endswith(notice), "text to %s: %r" % (call, said))
                self.assertEqual(status, 0)
                self.assertLess(seconds, ALL_OUT)


if __name__ == "__main__":
    unittest.main(verbosity=2)
