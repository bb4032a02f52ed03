#!/usr/bin/env python3
"""The simulated radio channel: two Dire Wolf nodes, AGW clients talking across it, air-up and air-down."""

import os
import queue
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from airtest import (  # noqa: E402
    HAVE_DIREWOLF, NO_DIREWOLF, TOOLS, WAIT, Air, airctl, free_base_port, free_base_ports, pids_alive, read_lines,
    run_tool, wait_line)
from agwclient import AGWClient, AGWError, FrameReader, decode, encode  # noqa: E402


class AGWFrames(unittest.TestCase):
    def test_header_layout(self):
        frame = encode("D", port=1, pid=0xF0, call_from="N0USR", call_to="N0SRV-12", data=b"hi\r")
        self.assertEqual(len(frame), 39)
        self.assertEqual(frame[0], 1)
        self.assertEqual(frame[4:5], b"D")
        self.assertEqual(frame[6], 0xF0)
        self.assertEqual(frame[8:18], b"N0USR\0\0\0\0\0")
        self.assertEqual(frame[18:28], b"N0SRV-12\0\0")
        self.assertEqual(frame[28:32], b"\x03\0\0\0")
        self.assertEqual(frame[36:], b"hi\r")

    def test_long_callsign_is_cut_and_read_without_nul(self):
        frame, used = decode(encode("X", call_from="ABCDEFGHIJKL"))
        self.assertEqual(used, 36)
        self.assertEqual(frame.call_from, "ABCDEFGHIJ")

    def test_frames_split_and_merged_across_reads(self):
        stream = encode("C", call_from="A", data=b"*** CONNECTED\r\0") + encode("D", call_from="A", data=b"x" * 300)
        reader = FrameReader()
        got = []
        for i in range(0, len(stream), 7):
            got += reader.feed(stream[i : i + 7])
        self.assertEqual([f.kind for f in got], ["C", "D"])
        self.assertEqual(got[1].data, b"x" * 300)
        self.assertEqual(reader.feed(b""), [])

    def test_absurd_length_is_refused(self):
        header = bytearray(encode("D"))
        header[28:32] = (1 << 30).to_bytes(4, "little")
        with self.assertRaises(AGWError):
            decode(bytes(header))


class AirUpRefuses(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="air-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def test_without_direwolf(self):
        env = dict(os.environ, PATH=os.path.join(self.dir, "nothing"))
        result = run_tool("air-up", self.dir, env=env)
        self.assertEqual(result.returncode, 1)
        self.assertIn("direwolf is not installed", result.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.dir, "pids")))

    @unittest.skipUnless(HAVE_DIREWOLF, NO_DIREWOLF)
    def test_when_pids_file_is_left(self):
        with open(os.path.join(self.dir, "pids"), "w") as f:
            f.write("1 channel\n")
        result = run_tool("air-up", self.dir, "--base-port", str(free_base_port()))
        self.assertEqual(result.returncode, 1)
        self.assertIn("has a pids file", result.stderr)

    @unittest.skipUnless(HAVE_DIREWOLF, NO_DIREWOLF)
    def test_when_a_port_is_taken(self):
        base = free_base_port()
        with socket.socket() as taken:
            taken.bind(("127.0.0.1", base + 1))
            taken.listen(1)
            result = run_tool("air-up", self.dir, "--base-port", str(base))
        self.assertEqual(result.returncode, 1)
        self.assertIn("port %d is already in use" % (base + 1), result.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.dir, "pids")))

    def test_air_down_without_pids_file(self):
        result = run_tool("air-down", self.dir)
        self.assertEqual(result.returncode, 1)
        self.assertIn("no pids file", result.stderr)


@unittest.skipUnless(HAVE_DIREWOLF, NO_DIREWOLF)
class TwoNodes(unittest.TestCase):
    def test_stations_talk_across_the_channel_and_everything_stops(self):
        directory = tempfile.mkdtemp(prefix="air-")
        self.addCleanup(shutil.rmtree, directory, True)
        # Another test may take the ports between the check and Dire Wolf's bind.
        up = None
        for attempt, base in enumerate(free_base_ports()):
            up = run_tool("air-up", directory, "--nodes", "2", "--base-port", str(base), "--rate", "1200")
            if up.returncode == 0 or attempt == 2:
                break
        if up is None:
            self.skipTest("no free pair of ports between 18010 and 19010")
        self.assertEqual(up.returncode, 0, up.stderr)
        pids = airctl.read_pids(directory)
        self.assertEqual(sorted(role for _, role in pids), ["channel", "node0", "node1"])
        try:
            self.talk(base)
            self.terminal(base)
        finally:
            down = run_tool("air-down", directory)
        self.assertEqual(down.returncode, 0, down.stderr)
        left = [pid for pid, _ in pids if airctl.alive(pid)]
        self.assertEqual(left, [])
        self.assertEqual(sorted(os.listdir(directory)),
                         [".asoundrc", "air.log", "node0.conf", "node0.log", "node1.conf", "node1.log"])
        with open(os.path.join(directory, "air.log")) as f:
            totals = [line for line in f if "channel stopped" in line]
        self.assertEqual(len(totals), 1)
        print("\n  " + totals[0].strip(), file=sys.stderr)

    def talk(self, base):
        with AGWClient(base, timeout=WAIT) as srv, AGWClient(base + 1, timeout=WAIT) as usr:
            srv.register("N0SRV")
            usr.register("N0USR")
            connect_time = usr.connect("N0USR", "N0SRV")
            notice = srv.wait_connect("N0USR")
            self.assertIn(b"CONNECTED", notice.data)
            self.assertIn("N0SRV", usr.connected)
            self.assertIn("N0USR", srv.connected)

            text = "a line of exactly one hundred bytes, CR included: " + "x" * 49
            self.assertEqual(len(text) + 1, 100)
            start = time.monotonic()
            usr.send_line("N0USR", "N0SRV", text)
            self.assertEqual(srv.wait_data("N0USR"), text.encode() + b"\r")
            delivery_time = time.monotonic() - start

            srv.send_line("N0SRV", "N0USR", "Welcome, N0USR")
            self.assertEqual(usr.wait_data("N0SRV"), b"Welcome, N0USR\r")

            self.assertTrue(usr.wait_sent("N0USR", "N0SRV"))
            notice = usr.disconnect("N0USR", "N0SRV")
            self.assertIn(b"DISCONNECTED", notice.data)
            self.assertIn(b"DISCONNECTED", srv.wait("d", "N0USR").data)
            self.assertEqual(usr.connected, set())
            self.assertEqual(srv.connected, set())
        print("\n  connect %.2f s, 100 bytes delivered in %.2f s" % (connect_time, delivery_time), file=sys.stderr)

    def terminal(self, base):
        with AGWClient(base, timeout=WAIT) as srv:
            srv.register("N0SRV")
            term = subprocess.Popen(
                [sys.executable, os.path.join(TOOLS, "agwterm.py"), "--port", str(base + 1), "--mycall", "n0trm",
                 "--connect", "N0SRV", "--timeout", str(WAIT)],
                stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            try:
                lines = queue.Queue()
                threading.Thread(target=read_lines, args=(term.stdout, lines), daemon=True).start()
                srv.wait_connect("N0TRM")
                wait_line(lines, b"*** CONNECTED With Station N0SRV")
                srv.send_data("N0SRV", "N0TRM", "two\rlines\r")
                wait_line(lines, b"two\n")
                wait_line(lines, b"lines\n")
                term.stdin.write(b"hello server\n")
                term.stdin.flush()
                self.assertEqual(srv.wait_data("N0TRM"), b"hello server\r")
                term.stdin.write(b"/quit\n")
                term.stdin.flush()
                self.assertIn(b"DISCONNECTED", srv.wait("d", "N0TRM").data)
                wait_line(lines, b"*** DISCONNECTED From Station N0SRV")
                self.assertEqual(term.wait(timeout=WAIT), 0, term.stderr.read())
            finally:
                if term.poll() is None:
                    term.send_signal(signal.SIGTERM)
                    term.wait(timeout=10)
                term.stdin.close()
                term.stdout.close()
                term.stderr.close()


@unittest.skipUnless(HAVE_DIREWOLF, NO_DIREWOLF)
class TwoRadioChannelsAndARestart(unittest.TestCase):
    def test_each_channel_reaches_its_port_and_a_node_comes_back(self):
        # Node 0 has Dire Wolf's channel 0 on simulated channel 0 (with node 1) and
        # channel 1 on simulated channel 1 (with node 2).
        air = Air(nodes=3, channels={0: [0, 1], 2: [1]}, first_port=18110)
        self.addCleanup(air.cleanup)
        air.up()
        try:
            with AGWClient(air.port(0), timeout=WAIT) as srv:
                for port in (0, 1):
                    srv.send_frame("X", port=port, call_from="N0SRV")
                    self.assertEqual(srv.wait("X", match=lambda f: f.port == port).data, b"\x01")
                srv.send_frame("G")
                self.assertTrue(srv.wait("G").data.startswith(b"2;"))
                for node, call in ((1, "N0AAA"), (2, "N0BBB")):
                    with AGWClient(air.port(node), timeout=WAIT) as user:
                        user.register(call)
                        user.connect(call, "N0SRV")
                        self.assertEqual(srv.wait_connect(call).port, node - 1)
                        user.disconnect(call, "N0SRV")
                        srv.wait("d", call)

                before = [pid for pid, role in airctl.read_pids(air.directory) if role == "node0"]
                air.stop_node(0)
                with self.assertRaises(AGWError):
                    srv.pump(10)
            self.assertEqual(pids_alive(before), [])
            air.start_node(0)
            after = [pid for pid, role in airctl.read_pids(air.directory) if role == "node0"]
            self.assertEqual(len(after), 1)
            self.assertNotEqual(after, before)
            with AGWClient(air.port(0), timeout=WAIT) as srv, AGWClient(air.port(1), timeout=WAIT) as user:
                srv.register("N0SRV")
                user.register("N0AAA")
                user.connect("N0AAA", "N0SRV")
                srv.wait_connect("N0AAA")
                user.disconnect("N0AAA", "N0SRV")
        finally:
            down = air.down()
        self.assertEqual(down.returncode, 0, down.stderr)
        self.assertEqual(pids_alive(air.pids), [])


if __name__ == "__main__":
    unittest.main(verbosity=2)
