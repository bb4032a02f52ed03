#!/usr/bin/env python3
"""scripts/demo.sh: the server on a simulated channel, a terminal for a user, a second user joining, and
nothing left running afterwards, however the demo ends."""

import json
import os
import queue
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.request

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from airtest import (  # noqa: E402
    HAVE_DIREWOLF, NO_DIREWOLF, SOURCE, WAIT, airctl, free_base_port, pids_alive, read_lines, run_tool, wait_line)

DEMO = os.path.join(SOURCE, "scripts", "demo.sh")
SERVER = "PALAVO-1"


def sample_welcome():
    with open(os.path.join(SOURCE, "examples", "TEXT", "PALAVORO.INF"), "rb") as f:
        return f.read().split(b"\r\n")[0]


class Terminal:
    """demo.sh with its standard input fed from the test and its output read line by line."""

    def __init__(self, *args):
        self.process = subprocess.Popen(["bash", DEMO, *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, start_new_session=True)
        self.out = queue.Queue()
        self.err = queue.Queue()
        self.lines = []
        for stream, into in ((self.process.stdout, self.out), (self.process.stderr, self.err)):
            threading.Thread(target=read_lines, args=(stream, into), daemon=True).start()

    def expect(self, text):
        return wait_line(self.out, text.encode() if isinstance(text, str) else text, seen=self.lines)

    def type(self, line):
        self.process.stdin.write(line.encode() + b"\n")
        self.process.stdin.flush()

    def wait(self):
        try:
            return self.process.wait(WAIT)
        finally:
            self.process.stdin.close()

    def errors(self):
        text = []
        while not self.err.empty():
            line = self.err.get()
            if line is not None:
                text.append(line.decode(errors="replace"))
        return "".join(text)

    def stop(self):
        if self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGTERM)
            try:
                self.process.wait(WAIT)
            except subprocess.TimeoutExpired:
                os.killpg(self.process.pid, signal.SIGKILL)
                self.process.wait(10)
        for stream in (self.process.stdin, self.process.stdout, self.process.stderr):
            stream.close()


@unittest.skipUnless(HAVE_DIREWOLF, NO_DIREWOLF)
class Demo(unittest.TestCase):
    def setUp(self):
        if not os.environ.get("PALAVORO_BIN"):
            self.skipTest("PALAVORO_BIN names the palavoro program (CTest sets it); the test does not build")
        self.started = time.monotonic()
        self.dir = tempfile.mkdtemp(prefix="demo-")
        # Apart from the ports the other channel tests take, which may run at the same time.
        self.base = free_base_port(first=18050)
        self.terminals = []
        self.pids = []

    def tearDown(self):
        for terminal in self.terminals:
            terminal.stop()
        if os.path.exists(os.path.join(self.dir, "air", "pids")):
            run_tool("air-down", os.path.join(self.dir, "air"))
        shutil.rmtree(self.dir, ignore_errors=True)
        print("\n  %s: %.1f s" % (self.id().rsplit(".", 1)[-1], time.monotonic() - self.started), file=sys.stderr)

    def terminal(self, *args):
        terminal = Terminal(*args, "--dir", self.dir)
        self.terminals.append(terminal)
        return terminal

    def start_demo(self):
        demo = self.terminal("--base-port", str(self.base))
        demo.expect(sample_welcome())
        demo.expect("[0]{N0USR de %s}:" % SERVER)
        with open(os.path.join(self.dir, "pids")) as f:
            roles = dict(reversed(line.split()) for line in f)
        self.assertEqual(sorted(roles), ["agwterm", "demo", "palavoro"])
        self.assertEqual(int(roles["demo"]), demo.process.pid)
        air = airctl.read_pids(os.path.join(self.dir, "air"))
        self.assertEqual(sorted(role for _, role in air), ["channel", "node0", "node1"])
        self.pids = [int(pid) for pid in roles.values()] + [pid for pid, _ in air]
        return demo

    def assert_all_stopped(self, demo):
        self.assertEqual(pids_alive(self.pids), [], demo.errors())
        self.assertTrue(airctl.port_free(self.base) and airctl.port_free(self.base + 1))
        self.assertFalse(os.path.exists(os.path.join(self.dir, "pids")))
        self.assertFalse(os.path.exists(os.path.join(self.dir, "air", "pids")))

    def server_trace(self):
        with open(os.path.join(self.dir, "station", "Palavoro.LOG"), "rb") as f:
            return [line.split(" ", 2)[-1] for line in f.read().decode("latin-1").split("\r\n")]

    def test_two_users_chat_and_quitting_stops_everything(self):
        demo = self.start_demo()
        self.assertIn("scripts/demo.sh --join N0TWO --dir", demo.errors())

        other = self.terminal("--join", "n0two")
        other.expect(sample_welcome())
        other.expect("[0]{N0TWO de %s}:" % SERVER)
        demo.expect("[0]<N0TWO@%s> <N0TWO joined Area>" % SERVER)

        demo.type("hello from the demo")
        other.expect("[0]<N0USR@%s> hello from the demo" % SERVER)
        demo.expect("[0]{N0USR de %s}:" % SERVER)

        other.type("/quit")
        other.expect("*** DISCONNECTED From Station " + SERVER)
        self.assertEqual(other.wait(), 0, other.errors())
        demo.expect("<N0TWO left Area>")

        demo.type("/quit")
        demo.expect("*** DISCONNECTED From Station " + SERVER)
        self.assertEqual(demo.wait(), 0, demo.errors())
        self.assert_all_stopped(demo)
        self.assertIn("{PALAVORO} Disconnect Port(1) <N0USR> Message(*** DISCONNECTED From Station N0USR",
                      "\n".join(self.server_trace()))

        late = self.terminal("--join", "N0LTE")
        self.assertEqual(late.wait(), 1)
        self.assertIn("no demo is running", late.errors())

    def test_the_banner_gives_the_status_page_on_a_port_nobody_else_holds(self):
        holder = socket.socket()
        self.addCleanup(holder.close)
        try:
            holder.bind(("127.0.0.1", 8080))
            holder.listen()
        except OSError:
            pass  # another program holds it already
        demo = self.start_demo()
        page = re.search(r"^  status    (http://127\.0\.0\.1:(\d+)/)$", demo.errors(), re.M)
        self.assertIsNotNone(page, "no status page address in the banner")
        self.assertNotEqual(page.group(2), "8080")
        with urllib.request.urlopen(page.group(1) + "status.json", timeout=WAIT) as answer:
            self.assertEqual(json.load(answer)["callsign"], SERVER)
        demo.type("/quit")
        demo.expect("*** DISCONNECTED From Station " + SERVER)
        self.assertEqual(demo.wait(), 0, demo.errors())
        self.assert_all_stopped(demo)

    def test_ctrl_c_disconnects_the_user_and_stops_everything(self):
        demo = self.start_demo()
        os.killpg(demo.process.pid, signal.SIGINT)
        self.assertEqual(demo.wait(), 130, demo.errors())
        self.assert_all_stopped(demo)
        # The server was still there to see the user leave.
        self.assertIn("{PALAVORO} Disconnect Port(1) <N0USR> Message(*** DISCONNECTED From Station N0USR",
                      "\n".join(self.server_trace()))

    def test_terminated_demo_stops_everything(self):
        demo = self.start_demo()
        demo.process.send_signal(signal.SIGTERM)
        self.assertEqual(demo.wait(), 143, demo.errors())
        self.assert_all_stopped(demo)


if __name__ == "__main__":
    unittest.main(verbosity=2)
