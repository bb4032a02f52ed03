#!/usr/bin/env python3
"""Chat over the air: palavoro on Dire Wolf node 0, radio users on node 1, AX.25 across the simulated channel."""

import os
import sys
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from airtest import AirTestCase  # noqa: E402

SERVER = "N0SRV"


def prompt(call, area=0):
    return b"\r[%d]{%s de %s}:\r" % (area, call.encode(), SERVER.encode())


class ChatOverTheAir(AirTestCase):
    # Ports of their own, apart from the other channel tests that may run at the same time.
    FIRST_PORT = 18030

    def test_two_users_chat_and_one_says_goodbye(self):
        self.serve()
        aaa = self.user(1, "N0AAA")
        self.assertEqual(aaa.wait_data(SERVER, until=prompt("N0AAA")),
                         b"Welcome to the N0SRV Chat Server\r" + prompt("N0AAA"))

        bbb = self.user(1, "N0BBB")
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
        refused = self.user(1, "N0CCC")
        refused.wait("d", SERVER)
        self.assertEqual(refused.transcript(SERVER), b"<C>\r--- Connections not Allowed on this Port\r<d>")


if __name__ == "__main__":
    unittest.main(verbosity=2)
