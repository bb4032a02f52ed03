#!/usr/bin/env python3
"""A Dire Wolf node with two radio channels runs the server: channel 0 shares a simulated channel with
node 1, channel 1 another one with node 2, and a station on each is served on its own port."""

import os
import sys
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from airtest import AirTestCase  # noqa: E402

CHANNEL_1 = 1  # node of the station on Dire Wolf's channel 0, the server's port 1
CHANNEL_2 = 2  # node of the station on channel 1, port 2


class TwoRadioChannels(AirTestCase):
    NODES = 3
    CHANNELS = {0: [0, 1], 2: [1]}
    FIRST_PORT = 18070

    def test_a_station_on_each_channel_sees_the_other_and_hears_it(self):
        self.serve()
        aaa = self.user(CHANNEL_1, "N0AAA")
        self.assertEqual(aaa.wait_data(self.SERVER, until=self.prompt("N0AAA")), self.welcome("N0AAA"))
        bbb = self.user(CHANNEL_2, "N0BBB")
        self.assertEqual(bbb.wait_data(self.SERVER, until=self.prompt("N0BBB")), self.welcome("N0BBB"))
        self.assertEqual(aaa.wait_data(self.SERVER, until=b"joined Area>\r\r"),
                         b"[0]<N0BBB@N0SRV> <N0BBB joined Area>\r\r")

        bbb.send_line("N0BBB", self.SERVER, "/W")
        self.assertEqual(bbb.wait_data(self.SERVER, until=self.prompt("N0BBB")),
                         b"\rWho is here:\rId(0) Topic(Root) Owner(N0SRV) Users(2)\r"
                         b"   User(1:N0AAA) Name() Info()\r   User(2:N0BBB) Name() Info()\r"
                         b"   --- Total Users (2)\r" + self.prompt("N0BBB"))
        aaa.send_line("N0AAA", self.SERVER, "hello from the first channel")
        self.assertEqual(bbb.wait_data(self.SERVER, until=b"channel\r\r"),
                         b"[0]<N0AAA@N0SRV> hello from the first channel\r\r")

    def test_disable_2_refuses_the_second_channel_only(self):
        self.serve(DISABLE="2")
        bbb = self.user(CHANNEL_2, "N0BBB")
        bbb.wait("d", self.SERVER)
        self.assertEqual(bbb.transcript(self.SERVER), b"<C>\r--- Connections not Allowed on this Port\r<d>")
        aaa = self.user(CHANNEL_1, "N0AAA")
        self.assertEqual(aaa.wait_data(self.SERVER, until=self.prompt("N0AAA")), self.welcome("N0AAA"))


if __name__ == "__main__":
    unittest.main(verbosity=2)
