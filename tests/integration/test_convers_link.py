"""Two real palavoro programs linked over TCP on 127.0.0.1 as convers nodes,
each with its own scripted engine and stations: the stations chat across the
link byte for byte, /W on each node lists both, /LI lists the link, and a
station that leaves one node departs from the other. Both nodes dial each
other at once and keep one link."""

import unittest

from conversnet import Node


class TwoNodesTest(unittest.TestCase):
    maxDiff = None

    def setUp(self):
        self.a = Node(self, "N0AAA-1", "n0aaa", {"N0ABC": "Alice"})
        self.b = Node(self, "N0BBB", "n0bbb", {"K1BBB": "Bob"})
        self.a.links = {"n0bbb": self.b.address}
        self.b.links = {"n0aaa": self.a.address}
        self.a.start()
        self.b.start()
        self.a.connect("N0ABC")
        self.b.connect("K1BBB-7")
        self.a.wait_for_links("n0bbb")
        self.b.wait_for_links("n0aaa")
        self.a.wait_for_remote("k1bbb-7", "n0bbb")
        self.b.wait_for_remote("n0abc", "n0aaa")

    def test_stations_on_two_nodes_chat_byte_for_byte(self):
        self.a.say("N0ABC", "Hello from Alice \xe4\xf6\xfc")
        self.assertEqual(self.b.wait_for_line("K1BBB-7", "Hello from"),
                         "[0]<n0abc@n0aaa> Hello from Alice \xe4\xf6\xfc\r\r")
        self.b.say("K1BBB-7", "Hi Alice, Bob here")
        self.assertEqual(self.a.wait_for_line("N0ABC", "Bob here"), "[0]<k1bbb-7@n0bbb> Hi Alice, Bob here\r\r")

    def test_who_on_each_node_lists_both_stations(self):
        for node, call, local, remote in (
                (self.a, "N0ABC", "   User(1:N0ABC) Name(Alice) Info()\r", "   User(k1bbb-7@n0bbb) Info()\r"),
                (self.b, "K1BBB-7", "   User(1:K1BBB-7) Name(Bob) Info()\r", "   User(n0abc@n0aaa) Info()\r")):
            with self.subTest(node=node.host):
                who = node.say(call, "/W")
                self.assertIn(local + remote + "   --- Total Users (2)\r", who)

    def test_links_command_lists_the_link(self):
        for node, call, neighbour, other in ((self.a, "N0ABC", "n0bbb", self.b), (self.b, "K1BBB-7", "n0aaa", self.a)):
            with self.subTest(node=node.host):
                link = next(l for l in node.status()["links"])
                line = "Link(%s) Address(%s) Dir(%s) State(up) Software(Palav0.1) Since(%s) " % (
                    neighbour, link["address"], link["direction"], link["since"])
                for command in ("/LI", "/LINKS"):
                    self.assertIn("\rLinks:\r" + line, node.say(call, command))
                    self.assertIn("\rNode(%s) Listen(%s)\r" % (node.host, node.address), node.say(call, command))
                # /L stays leave: the station is in Root already and stays there.
                self.assertNotIn(neighbour, node.say(call, "/L"))

    def test_both_nodes_keep_one_link_and_see_one_user_each(self):
        for node, neighbour, remote in ((self.a, "n0bbb", ("k1bbb-7", "n0bbb", 0, "n0bbb")),
                                        (self.b, "n0aaa", ("n0abc", "n0aaa", 0, "n0aaa"))):
            with self.subTest(node=node.host):
                links = node.status()["links"]
                self.assertEqual([(l["name"], l["state"], l["users"]) for l in links], [(neighbour, "up", 1)])
                self.assertEqual(node.remote_users(), [remote])

    def test_a_station_leaving_one_node_departs_from_the_other(self):
        # The joins of a link-up are shown 10 s later; a station gone before that is never shown.
        self.a.wait_for_line("N0ABC", "joined Area")
        self.b.peer.disconnect_station(1, "K1BBB-7", self.b.callsign)
        self.assertEqual(self.a.wait_for_line("N0ABC", "left Area"), "[0]<k1bbb-7@n0bbb> <k1bbb-7@n0bbb left Area>\r\r")
        self.assertEqual(self.a.remote_users(), [])


if __name__ == "__main__":
    unittest.main(verbosity=2)
