#!/usr/bin/env python3
"""Two palavoro servers, one on each Dire Wolf node, linked over AX.25 across the simulated channel:
a station on each node chats with the other through the link, /W and /LI show it, and the link comes
back by itself when one server is stopped and started again."""

import os
import sys
import time
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from airtest import HAVE_DIREWOLF, NO_DIREWOLF, WAIT, Air, RecordingClient, Station, pids_alive  # noqa: E402

A, B = "N0SRA", "N0SRB"
# B's dial after its start-up: the first try may precede the engine's registration, the next is 1 s later;
# a connect over the air takes a few seconds.
RELINK_LIMIT = 45.0
# Latin-1 letters and blanks: the link carries them as they are.
LINE = "caf\xe9 \xfcber  alles ~ 8-bit"


def prompt(call, server, area=0):
    return b"\r[%d]{%s de %s}:\r" % (area, call.encode(), server.encode())


class AirLinks(unittest.TestCase):
    FIRST_PORT = 18070

    def setUp(self):
        if not HAVE_DIREWOLF:
            if os.environ.get("CI") == "true":
                self.fail(NO_DIREWOLF)
            self.skipTest(NO_DIREWOLF)
        self.started = time.monotonic()
        self.clients = []
        self.servers = []
        self.stopped = []
        self.air = Air(nodes=2, rate=9600, first_port=self.FIRST_PORT)
        self.addCleanup(self.air.cleanup)
        self.air.up()

    def tearDown(self):
        for client in self.clients:
            client.close()
        statuses = [server.stop() for server in self.servers]
        down = self.air.down()
        started = self.air.pids + [server.pid for server in self.servers + self.stopped]
        left = pids_alive(started)
        for server in self.servers + self.stopped:
            server.cleanup()
        print("\n  %s: %.1f s" % (self.id().rsplit(".", 1)[-1], time.monotonic() - self.started), file=sys.stderr)
        self.assertEqual(left, [], "processes left running")
        self.assertEqual(statuses, [0] * len(statuses), "a server did not end with status 0 on SIGTERM")
        self.assertEqual(down.returncode, 0, down.stderr)

    def server(self, node, call, name, neighbour, neighbour_call):
        server = Station(self.air.port(node), call)
        with open(os.path.join(server.workdir, "Palavoro.INI"), "rb") as f:
            ini = f.read().decode("latin-1")
        server.write("Palavoro.INI", ini + "[CONVERS]\r\nHOSTNAME=%s\r\n[LINKS]\r\n%s=AX25:1:%s\r\n"
                     % (name, neighbour, neighbour_call))
        self.servers.append(server.start())
        server.wait_registered()
        return server

    def wait_stderr(self, server, text, timeout=WAIT, after=0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if text in server.stderr()[after:]:
                return
            time.sleep(0.1)
        self.fail("no %r on stderr within %.0f s: %r" % (text, timeout, server.stderr()[after:]))

    def user(self, node, call, server):
        client = RecordingClient(self.air.port(node), timeout=WAIT)
        self.clients.append(client)
        client.register(call)
        client.connect(call, server)
        client.wait_data(server, until=prompt(call, server))
        return client

    def ask(self, client, call, server, line):
        client.send_line(call, server, line)
        return client.wait_data(server, until=prompt(call, server))

    def wait_listed(self, client, call, server, name):
        """/W until it lists name: a station's lines cross the link only to where someone listens."""
        deadline = time.monotonic() + WAIT
        while True:
            who = self.ask(client, call, server, "/W")
            if name in who:
                return who
            if time.monotonic() > deadline:
                self.fail("%s never listed %r: %r" % (server, name, who))
            time.sleep(1.0)

    def test_stations_on_two_nodes_chat_through_a_link_over_the_air(self):
        a = self.server(0, A, "srva", "srvb", B)
        b = self.server(1, B, "srvb", "srva", A)
        self.wait_stderr(a, "link up: srvb at AX25:1:%s" % B)
        self.wait_stderr(b, "link up: srva at AX25:1:%s" % A)

        # A station hears a server only on the other node.
        bbb = self.user(0, "N0BBB", B)
        aaa = self.user(1, "N0AAA", A)
        bbb.wait_data(B, until=b"<n0aaa@srva joined Area>\r\r")

        self.wait_listed(aaa, "N0AAA", A, b"n0bbb")
        self.ask(aaa, "N0AAA", A, "hello from srva")
        self.assertEqual(bbb.wait_data(B, until=b"hello from srva\r\r"), b"[0]<n0aaa@srva> hello from srva\r\r")
        self.ask(bbb, "N0BBB", B, "hello from srvb")
        self.assertEqual(aaa.wait_data(A, until=b"hello from srvb\r\r"), b"[0]<n0bbb@srvb> hello from srvb\r\r")

        for client, call, server, other in ((aaa, "N0AAA", A, b"n0bbb"), (bbb, "N0BBB", B, b"n0aaa")):
            who = self.ask(client, call, server, "/W")
            self.assertIn(call.encode(), who)
            self.assertIn(other, who)
        links = self.ask(aaa, "N0AAA", A, "/LI")
        self.assertIn(b"srvb", links)
        self.assertIn(b"AX25:1:" + B.encode(), links)
        self.assertIn(b"up", links)

        # B goes and comes back: its stations and its link with it.
        mark = len(a.stderr())
        self.servers.remove(b)
        self.stopped.append(b)
        self.assertEqual(b.stop(), 0)
        self.wait_stderr(a, "link down: srvb", after=mark)
        b2 = self.server(1, B, "srvb", "srva", A)
        back = time.monotonic()
        self.wait_stderr(a, "link up: srvb at AX25:1:%s" % B, timeout=RELINK_LIMIT, after=mark)
        print("\n  link back %.1f s after the server's registration" % (time.monotonic() - back), file=sys.stderr)

        bbb.wait("d", B)
        bbb.connect("N0BBB", B)
        bbb.wait_data(B, until=prompt("N0BBB", B))
        self.wait_listed(aaa, "N0AAA", A, b"n0bbb")
        aaa.send_data("N0AAA", A, LINE.encode("latin-1") + b"\r")
        expected = b"[0]<n0aaa@srva> " + LINE.encode("latin-1") + b"\r\r"
        # Only a notice of N0AAA's presence may come before it.
        heard = bbb.wait_data(B, until=b"8-bit\r\r")
        self.assertIn(heard, (expected, b"[0]<n0aaa@srva> <n0aaa@srva joined Area>\r\r" + expected))
        self.assertIn(b"link up: srva", b2.stderr().encode("latin-1"))


if __name__ == "__main__":
    unittest.main(verbosity=2)
