"""The real palavoro program linked to a scripted node that keeps what it
learns as a real W node does: a cut of the TCP connection between them (the
node keeps running) and lines flowing both ways again afterwards without any
station changing anything; repeated lines reaching each side as often as they
were said."""

import unittest

from conversnet import HeldProxy, Node, WNode, wait_until


class WNodeTest(unittest.TestCase):
    maxDiff = None

    def setUp(self):
        self.w = WNode()
        self.addCleanup(self.w.close)
        self.proxy = HeldProxy(self.w.port)
        self.proxy.release()
        self.addCleanup(self.proxy.close)
        self.node = Node(self, "N0SRV", "pvnode", {"N0ABC": "Alice"},
                         links={"wam1": "127.0.0.1:%d" % self.proxy.port}).start()
        self.node.connect("N0ABC")
        self.node.wait_for_links("wam1")
        self.node.wait_for_remote("xx1ali", "wam1")
        wait_until(lambda: self.w.knows(b"n0abc"), what="n0abc known on the W node")

    def test_after_a_cut_lines_flow_both_ways_again(self):
        self.w.say(b"xx1ali", b"before the cut")
        self.node.wait_for_line("N0ABC", "before the cut")
        self.proxy.cut()
        wait_until(lambda: self.w.links == 2, what="the link up again")
        wait_until(lambda: self.w.knows(b"n0abc"), what="n0abc known on the W node again")
        self.w.say(b"xx1ali", b"after the cut")
        self.assertEqual(self.node.wait_for_line("N0ABC", "after the cut"), "[0]<xx1ali@wam1> after the cut\r\r")
        self.node.say("N0ABC", "back to you")
        self.w.wait_for_heard(b"back to you")

    def test_repeated_lines_reach_each_side_as_often_as_they_were_said(self):
        self.node.say("N0ABC", "yes")
        self.node.say("N0ABC", "yes")
        self.w.wait_for_heard(b"yes", count=2)
        self.w.say(b"xx1ali", b"same words")
        self.w.say(b"xx1ali", b"same words")
        self.node.wait_for_line("N0ABC", "same words")
        self.assertEqual(self.node.wait_for_line("N0ABC", "same words"), "[0]<xx1ali@wam1> same words\r\r")


if __name__ == "__main__":
    unittest.main()
