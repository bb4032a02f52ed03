"""The link to the engine comes back: the real program against a scripted AGWPE
peer on 127.0.0.1 that closes the connection, refuses connections for a few
seconds and then accepts again. Headless."""

import socket
import struct
import time
import unittest

from agwpeer import AgwPeer, PalavoroRun, PeerConfig, ini_text

SERVER = "N0SRV"
PORTS = ["Port1 first", "Port2 second"]
LOST = "{PALAVORO} Link with AGWPE lost ("
BACK = "{PALAVORO} Link with AGWPE back"
# The server tries again 1, 2, 4... s after the loss, so with the engine back
# between the second try and the third (3 and 7 s) two tries fail.
OUTAGE = 5.0
RETURN_WAIT = 15.0


def welcome(call):
    return "Welcome to the %s Chat Server\r\r[0]{%s de %s}:\r" % (SERVER, call, SERVER)


class ReconnectTest(unittest.TestCase):
    maxDiff = None

    def setUp(self):
        self.peer = AgwPeer(auto_answer=True, config=PeerConfig(ports=PORTS))
        self.addCleanup(self.peer.close)
        settings = {"TCP_PORT": self.peer.port, "CALLSIGN": SERVER, "LOGIN": "oper", "PASWD": "secret", "TRACE": 1}
        self.run = PalavoroRun(ini_text({"PALAVORO": settings}))
        self.addCleanup(self.run.cleanup)
        self.addCleanup(self.run.stop)
        self.run.start()

    def link_up(self):
        """The server's requests on a fresh connection, once it has asked for everything; checks them."""
        first = len(self.peer.received)
        self.peer.accept(timeout=RETURN_WAIT)
        self.peer.wait_for("R")
        self.peer.collect(quiet=0.5)
        requests = [(f.kind, f.port) for f in self.peer.received[first:] if f.kind in "PXGR"]
        self.assertEqual(requests[0], ("P", 0))
        self.assertLess(requests.index(("X", 0)), requests.index(("G", 0)))
        self.assertTrue(all(f.call_from == SERVER for f in self.peer.received[first:] if f.kind == "X"))
        return requests

    def said_to(self, call, until, timeout=10.0):
        """The text of the "D" frames to call, up to and including `until` (less when a "d" to it comes first)."""
        text = ""
        deadline = time.monotonic() + timeout
        while until not in text:
            frame = self.peer.recv_frame(max(0.0, deadline - time.monotonic()))
            if frame is None or (frame.kind == "d" and frame.call_to == call):
                break
            if frame.kind == "D" and frame.call_to == call:
                text += frame.text
        return text

    def connect(self, port, call):
        self.peer.connect_station(port, call, SERVER)
        self.assertEqual(self.said_to(call, welcome(call)), welcome(call))

    def test_server_comes_back_registers_on_every_port_and_serves_stations(self):
        at_start = self.link_up()
        self.connect(1, "N1AAA")
        before = self.run.log_lines()

        self.peer.stop_listening()
        self.peer.close_connection()
        try:
            self.run.wait_for_log(lambda line: line.startswith(LOST), timeout=5)
        except TimeoutError:
            self.fail("no trace line %r... after the engine closed; trace: %r" % (LOST, self.run.log_lines()[-5:]))
        time.sleep(OUTAGE)
        self.peer.listen_again()
        again = self.link_up()
        self.assertEqual(sorted(again), sorted(at_start))
        self.assertEqual(sorted(again), [("G", 0), ("P", 0), ("R", 0), ("X", 0), ("X", 1)])

        # The engine dropped N1AAA's link with ours: its block is gone and it is welcomed as new.
        self.connect(1, "N1AAA")
        self.connect(2, "N2BBB")
        self.peer.send_line(2, "N2BBB", SERVER, "/W")
        self.assertEqual(
            self.said_to("N2BBB", "Total Users"),
            "\rWho is here:\rId(0) Topic(Root) Owner(%s) Users(2)\r"
            "   User(1:N1AAA) Name() Info()\r   User(2:N2BBB) Name() Info()\r   --- Total Users (2)\r" % SERVER)
        self.peer.send_line(1, "N1AAA", SERVER, "back on the air")
        relayed = self.peer.wait_for_data_to("N2BBB", contains="back on the air")
        self.assertEqual(relayed.text, "[0]<N1AAA@%s> back on the air\r\r" % SERVER)

        # The loss and the return are traced once each, the wait at most once in 10 minutes,
        # and the failed tries (two of them) not at this level: no line comes twice.
        since = self.run.log_lines()[len(before):]
        waiting = "{PALAVORO} Still waiting for the engine at 127.0.0.1:%d" % self.peer.port
        lost = [i for i, line in enumerate(since) if line.startswith(LOST)]
        self.assertEqual(len(lost), 1, since)
        self.assertEqual(since.count(BACK), 1, since)
        self.assertLess(lost[0], since.index(BACK))
        self.assertLessEqual(since.count(waiting), 1)
        others = [line for line in since if not line.startswith(LOST) and line not in (BACK, waiting)]
        self.assertEqual(sorted(line for line in set(others) if others.count(line) > 1), [], since)
        stderr = self.run.stderr()
        self.assertEqual(stderr.count("Link with AGWPE lost ("), 1, stderr)
        self.assertEqual(stderr.count("Link with AGWPE back"), 1, stderr)

    def test_a_reset_is_a_broken_link_and_every_station_gets_its_departure(self):
        self.link_up()
        self.connect(1, "N1AAA")
        reset(self.peer)
        self.run.wait_for_log(lambda line: line.startswith(LOST), timeout=5)
        stderr = self.run.stderr()
        self.assertIn("link broken: Connection reset by peer\n", stderr)
        self.assertIn("left N1AAA port 1: link lost: Connection reset by peer\n", stderr)

    def test_with_reconnect_off_a_reset_ends_the_program(self):
        peer = AgwPeer(auto_answer=True)
        self.addCleanup(peer.close)
        run = PalavoroRun(ini_text({"PALAVORO": {"TCP_PORT": peer.port, "CALLSIGN": SERVER, "RECONNECT": "NOT"}}))
        self.addCleanup(run.cleanup)
        self.addCleanup(run.stop)
        run.start()
        peer.accept()
        peer.wait_for("R")
        reset(peer)
        self.assertEqual(run.wait(timeout=10), 1)
        self.assertIn("Link with AGWPE Broken", run.stderr())


def reset(peer):
    """The engine's end resets the connection (RST) instead of closing it."""
    peer.conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    peer.conn.close()
    peer.conn = None


if __name__ == "__main__":
    unittest.main(verbosity=2)
