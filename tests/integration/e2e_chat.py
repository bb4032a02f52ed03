#!/usr/bin/env python3
"""Chat over the air: palavoro on Dire Wolf node 0, radio users on node 1, AX.25 across the simulated channel."""

import os
import sys
import time
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from airtest import HAVE_DIREWOLF, NO_DIREWOLF, WAIT, Air, RecordingClient, Station, pids_alive  # noqa: E402

SERVER = "N0SRV"


def prompt(call, area=0):
    return b"\r[%d]{%s de %s}:\r" % (area, call.encode(), SERVER.encode())


@unittest.skipUnless(HAVE_DIREWOLF, NO_DIREWOLF)
class ChatOverTheAir(unittest.TestCase):
    def setUp(self):
        self.started = time.monotonic()
        self.clients = []
        self.station = None
        # Ports of their own, apart from the other channel tests that may run at the same time.
        self.air = Air(nodes=2, first_port=18030)
        self.addCleanup(self.air.cleanup)
        self.air.up()

    def tearDown(self):
        for client in self.clients:
            client.close()
        status = self.station.stop() if self.station else None
        down = self.air.down()
        started = self.air.pids + ([self.station.pid] if self.station and self.station.process else [])
        left = pids_alive(started)
        if self.station:
            self.station.cleanup()
        print("\n  %s: %.1f s" % (self.id().rsplit(".", 1)[-1], time.monotonic() - self.started), file=sys.stderr)
        self.assertEqual(left, [], "processes left running")
        if self.station:
            self.assertEqual(status, 0, "palavoro did not end with status 0 on SIGTERM")
        self.assertIsNotNone(down)
        self.assertEqual(down.returncode, 0, down.stderr)

    def serve(self, **settings):
        self.station = Station(self.air.port(0), SERVER, settings).start()
        self.station.wait_registered()

    def user(self, call):
        client = RecordingClient(self.air.port(1), timeout=WAIT)
        self.clients.append(client)
        client.register(call)
        client.connect(call, SERVER)
        return client

    def test_two_users_chat_and_one_says_goodbye(self):
        self.serve()
        aaa = self.user("N0AAA")
        self.assertEqual(aaa.wait_data(SERVER, until=prompt("N0AAA")),
                         b"Welcome to the N0SRV Chat Server\r" + prompt("N0AAA"))

        bbb = self.user("N0BBB")
        self.assertEqual(bbb.wait_data(SERVER, until=prompt("N0BBB")),
                         b"Welcome to the N0SRV Chat Server\r" + prompt("N0BBB"))
        self.assertEqual(aaa.wait_data(SERVER, until=b"joined Area>\r\r"), b"[0]<N0BBB@N0SRV> <N0BBB joined Area>\r\r")

        aaa.send_line("N0AAA", SERVER, "hello")
        self.assertEqual(bbb.wait_data(SERVER, until=b"hello\r\r"), b"[0]<N0AAA@N0SRV> hello\r\r")
        self.assertTrue(aaa.wait_data(SERVER, until=prompt("N0AAA")).endswith(prompt("N0AAA")))

        aaa.send_line("N0AAA", SERVER, "/B")
        aaa.wait("d", SERVER)
        heard = aaa.transcript(SERVER)
        self.assertIn(b"\r--- GoodBye!\r", heard)
        self.assertTrue(heard.endswith(b"<d>"), heard)
        self.assertLess(heard.index(b"\r--- GoodBye!\r"), heard.index(b"<d>"))
        self.assertEqual(heard.count(b"<d>"), 1)

        # N0AAA's disconnection reached the server before this line, so any second
        # departure notice would come before the answer to it.
        bbb.send_line("N0BBB", SERVER, "/W")
        bbb.wait_data(SERVER, until=prompt("N0BBB"))
        self.assertEqual(bbb.transcript(SERVER).count(b"<N0AAA left Area>"), 1)

        bbb.send_line("N0BBB", SERVER, "/B")
        bbb.wait("d", SERVER)
        self.assertIn(b"\r--- GoodBye!\r", bbb.transcript(SERVER))
        self.station.wait_for_log("{PALAVORO} User Removed")

    def test_station_on_a_disabled_port_is_told_before_being_disconnected(self):
        self.serve(DISABLE="1")
        refused = self.user("N0CCC")
        refused.wait("d", SERVER)
        self.assertEqual(refused.transcript(SERVER), b"<C>\r--- Connections not Allowed on this Port\r<d>")


if __name__ == "__main__":
    unittest.main(verbosity=2)
