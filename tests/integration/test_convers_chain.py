"""Three real palavoro programs as convers nodes on 127.0.0.1: in a chain
A - B - C the middle node relays, so stations at both ends chat and see each
other; then a link from A to C closes a loop, which is detected and dropped,
and every line still reaches every station exactly once."""

import unittest

from conversnet import HeldProxy, Node, wait_until


class ChainTest(unittest.TestCase):
    maxDiff = None

    def setUp(self):
        self.a = Node(self, "N0AAA", "n0aaa", {"N0ABC": "Alice"})
        self.b = Node(self, "N0BBB", "n0bbb", {"K1BBB": "Bob"})
        self.c = Node(self, "N0CCC", "n0ccc", {"W2CCC": "Carol"})
        # A dials C through a proxy that holds the connection until the test
        # lets it through: the loop closes when the test says so.
        self.proxy = HeldProxy(self.c.listen_port)
        self.addCleanup(self.proxy.close)
        self.a.links = {"n0bbb": self.b.address, "n0ccc": "127.0.0.1:%d" % self.proxy.port}
        self.b.links = {"n0aaa": self.a.address, "n0ccc": self.c.address}
        self.c.links = {"n0bbb": self.b.address, "n0aaa": "*"}
        for node, call in ((self.a, "N0ABC"), (self.b, "K1BBB"), (self.c, "W2CCC")):
            node.start()
            node.connect(call)
        self.a.wait_for_links("n0bbb")
        self.b.wait_for_links("n0aaa", "n0ccc")
        self.c.wait_for_links("n0bbb")
        self.a.wait_for_remote("w2ccc", "n0ccc")
        self.c.wait_for_remote("n0abc", "n0aaa")

    def everyone_hears(self, speaker_node, speaker, text, listeners):
        """`text` said by `speaker` reaches each of `listeners` ((node, call)) exactly once."""
        speaker_node.say(speaker, text)
        line = "[0]<%s@%s> %s\r\r" % (speaker.lower(), speaker_node.host, text)
        for node, call in listeners:
            with self.subTest(speaker=speaker, listener=call):
                self.assertEqual(node.wait_for_line(call, text), line)
        # Anything doubled arrives close behind the first.
        for node, call in listeners:
            self.assertEqual([t for t in node.data_to(call) if text in t], [])

    def test_the_middle_node_relays_between_the_ends(self):
        self.assertEqual([u[:2] for u in self.a.remote_users()], [("k1bbb", "n0bbb"), ("w2ccc", "n0ccc")])
        self.assertEqual([u[:2] for u in self.c.remote_users()], [("k1bbb", "n0bbb"), ("n0abc", "n0aaa")])
        # Both came to A over its one link, to B.
        self.assertEqual({u[3] for u in self.a.remote_users()}, {"n0bbb"})
        self.everyone_hears(self.a, "N0ABC", "Alice to the far end", [(self.b, "K1BBB"), (self.c, "W2CCC")])
        self.everyone_hears(self.c, "W2CCC", "Carol back to Alice", [(self.a, "N0ABC"), (self.b, "K1BBB")])
        self.assertIn("w2ccc@n0ccc", self.a.say("N0ABC", "/W"))

    def test_a_loop_is_detected_and_one_link_dropped(self):
        self.proxy.release()
        looping = lambda: [l for node in (self.a, self.c) for l in node.log_lines() if l.startswith("link looping: ")]
        wait_until(looping, what="a looping link reported by n0aaa or n0ccc")
        # The chain stands, and A still knows each remote user once, over B.
        self.assertEqual(self.b.link_states(), {"n0aaa": "up", "n0ccc": "up"})
        self.assertEqual(self.a.remote_users(), [("k1bbb", "n0bbb", 0, "n0bbb"), ("w2ccc", "n0ccc", 0, "n0bbb")])
        self.everyone_hears(self.a, "N0ABC", "Once only, please", [(self.b, "K1BBB"), (self.c, "W2CCC")])
        self.everyone_hears(self.c, "W2CCC", "And once back", [(self.a, "N0ABC"), (self.b, "K1BBB")])


if __name__ == "__main__":
    unittest.main(verbosity=2)
