"""The real program behind an engine that airs each connection's frames at a
radio's pace (20 a second) and answers "Y" with what it still holds for that
connection, as Dire Wolf and AGWPE do: one station's paste of 30 lines does
not stand in front of another station's line on the air, and every pasted
line still goes on the air, in order."""

import struct
import time
import unittest

from agwpeer import AgwPeer, PalavoroRun, ini_text

SERVER = "N0SRV"
AIR_EVERY = 0.05


class RadioEngine:
    """Queues the server's "D" frames per connection and airs one of each
    connection's every AIR_EVERY seconds; answers "Y" with what is queued."""

    def __init__(self, peer):
        self.peer = peer
        self.queued = {}  # call -> frames not yet on the air
        self.aired = {}   # call -> texts on the air, in order
        self.next_air = time.monotonic()

    def run_until(self, done, timeout=60):
        deadline = time.monotonic() + timeout
        while not done():
            if time.monotonic() > deadline:
                raise TimeoutError("not done; aired %r" % {c: len(t) for c, t in self.aired.items()})
            frame = self.peer.recv_frame(0.01)
            if frame is not None:
                self.take(frame)
            if time.monotonic() >= self.next_air:
                self.next_air += AIR_EVERY
                for call, frames in self.queued.items():
                    if frames:
                        self.aired.setdefault(call, []).append(frames.pop(0))

    def take(self, frame):
        if frame.kind == "D":
            self.queued.setdefault(frame.call_to, []).append(frame.text)
        elif frame.kind == "Y":
            held = len(self.queued.get(frame.call_to, []))
            self.peer.send("Y", frame.port, 0, frame.call_from, frame.call_to, struct.pack("<I", held))

    def on_air(self, call, text):
        return any(text in aired for aired in self.aired.get(call, []))


class RadioPaceTest(unittest.TestCase):
    def test_a_paste_takes_turns_with_another_stations_line_on_the_air(self):
        peer = AgwPeer()
        self.addCleanup(peer.close)
        run = PalavoroRun(ini_text({"PALAVORO": {"TCP_PORT": peer.port, "CALLSIGN": SERVER, "TIMEOUT": 0}}))
        self.addCleanup(run.cleanup)
        self.addCleanup(run.stop)
        run.start()
        peer.accept()
        peer.serve_startup()
        engine = RadioEngine(peer)
        for call in ("N1ABC", "N2DEF", "N3GHI"):
            peer.connect_station(1, call, SERVER)
        # A few lists make the server ask its first "Y": from the answer on, it paces.
        for _ in range(3):
            peer.send_line(1, "N3GHI", SERVER, "/W")
        engine.run_until(lambda: sum("Who is here" in t for t in engine.aired.get("N3GHI", [])) == 3
                         and not engine.queued.get("N3GHI"))
        aired_before = len(engine.aired["N3GHI"])

        peer.send_line(1, "N1ABC", SERVER, "".join("paste %d\r" % i for i in range(1, 31)))
        said_at = time.monotonic() + 0.3
        engine.run_until(lambda: time.monotonic() >= said_at)
        peer.send_line(1, "N2DEF", SERVER, "one line")
        engine.run_until(lambda: engine.on_air("N3GHI", "paste 30\r") and engine.on_air("N3GHI", "one line"))

        aired = engine.aired["N3GHI"][aired_before:]
        pasted = [text for text in aired if "<N1ABC@N0SRV> paste" in text]
        self.assertEqual(pasted, ["[0]<N1ABC@N0SRV> paste %d\r\r" % i for i in range(1, 31)])
        line = aired.index("[0]<N2DEF@N0SRV> one line\r\r")
        self.assertLess(aired.index(pasted[7]), len(aired))
        self.assertLess(line, aired.index(pasted[7]), "behind the 8th pasted line")


if __name__ == "__main__":
    unittest.main()
