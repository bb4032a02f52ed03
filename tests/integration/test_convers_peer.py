"""The real palavoro program against scripted convers nodes over TCP on
127.0.0.1, speaking what the recorded exchanges show. A W node: the handshake
in both directions, the USER dump, channel lines and private lines both ways
byte for byte, PING answered, a departure. A PP node: its "ppconvers" opening,
a user on two channels, and our permlink line before HOST when we dial it."""

import socket
import time
import unittest

from agwpeer import DEFAULT_TIMEOUT
from conversnet import ConversPeer, Node, wait_until

W_HOST = b"/\xff\x80HOST wam1 W-2.81 dpu\n"


class WPeerTest(unittest.TestCase):
    maxDiff = None

    def start(self, links):
        self.node = Node(self, "N0SRV", "pvnode", {"N0ABC": "Alice"}, links=links).start()
        self.node.connect("N0ABC")

    def check_our_host(self, args):
        name, software, caps = args.split(b" ")
        self.assertEqual(name, b"pvnode")
        self.assertFalse(software.startswith(b"PP-"))
        self.assertLessEqual(len(software), 8)
        self.assertTrue(set(caps) <= set(b"adpmuAfn"), caps)

    def wam1_dials(self):
        """wam1 dials the node as W does, and reads its answer up to the USER dump."""
        self.start({"wam1": "*"})
        peer = ConversPeer.dial(self.node.listen_port)
        self.addCleanup(peer.close)
        peer.send(b"convers\n" + W_HOST)
        self.check_our_host(peer.command(b"HOST"))
        return peer

    def test_the_node_answers_a_dialling_w_node_with_host_and_its_users(self):
        peer = self.wam1_dials()
        user = peer.command(b"USER").split(b" ")
        self.assertEqual(user[:2], [b"n0abc", b"pvnode"])
        self.assertEqual(user[3:5], [b"-1", b"0"])
        self.assertTrue(user[2].isdigit())
        wait_until(lambda: "link up: wam1 at 127.0.0.1 (W-2.81)" in self.node.log_lines(), what="the link's log line")

    def test_lines_and_private_lines_cross_byte_for_byte(self):
        peer = self.wam1_dials()
        peer.command(b"USER")
        # The dialler repeats its HOST, as W does; the node takes no notice.
        peer.send(W_HOST + b"/\xff\x80USER carol wam1 1796684259 -1 0\n")
        self.assertEqual(self.node.wait_for_line("N0ABC", "carol"), "[0]<carol@wam1> <carol@wam1 joined Area>\r\r")
        peer.send(b"/\xff\x80CMSG carol 0 hello \xe4\xf6\xfc\xff\n")
        self.assertEqual(self.node.wait_for_line("N0ABC", "hello"), "[0]<carol@wam1> hello \xe4\xf6\xfc\xff\r\r")
        self.node.say("N0ABC", "hi from alice")
        self.assertEqual(peer.command(b"CMSG"), b"n0abc 0 hi from alice")

        peer.send(b"/\xff\x80UMSG carol n0abc just for you\n")
        self.assertEqual(self.node.wait_for_line("N0ABC", "PRIVATE"),
                         "[0]<N0ABC@N0SRV> ((PRIVATE MESSAGE FROM carol@wam1))\rjust for you\r")
        self.node.say("N0ABC", "/M carol@wam1 and back to you")
        self.assertEqual(peer.command(b"UMSG"), b"n0abc carol and back to you")

        peer.send(b"/\xff\x80USER carol wam1 1796684260 0 -1 \n")
        self.assertEqual(self.node.wait_for_line("N0ABC", "carol"), "[0]<carol@wam1> <carol@wam1 left Area>\r\r")

    def test_ping_is_answered_with_pong(self):
        peer = self.wam1_dials()
        peer.command(b"USER")
        peer.send(b"/\xff\x80PING\n")
        self.assertTrue(peer.command(b"PONG").isdigit())

    def test_the_node_dials_a_w_node_and_sends_its_users_after_the_answer(self):
        listener = socket.socket()
        self.addCleanup(listener.close)
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        listener.settimeout(DEFAULT_TIMEOUT)
        self.start({"wam1": "127.0.0.1:%d" % listener.getsockname()[1]})
        conn, _ = listener.accept()
        peer = ConversPeer(conn)
        self.addCleanup(peer.close)
        self.check_our_host(peer.command(b"HOST"))
        # Nothing but the HOST until the answer.
        self.assertEqual(peer.quiet(1.0), [])
        peer.send(b"/\xff\x80HOST wam1 W-2.81 dpu\n/\xff\x80USER alice wam1 1796684259 -1 0 @\n")
        user = peer.command(b"USER").split(b" ")
        self.assertEqual(user[:2], [b"n0abc", b"pvnode"])
        # Shown with the other joins of the link-up, 10 s later.
        self.assertEqual(self.node.wait_for_line("N0ABC", "alice"), "[0]<alice@wam1> <alice@wam1 joined Area>\r\r")
        self.assertIn("   User(alice@wam1) Info()\r", self.node.say("N0ABC", "/W"))

    def test_a_neighbour_that_closes_at_once_is_dialled_again_ever_more_slowly(self):
        listener = socket.socket()
        self.addCleanup(listener.close)
        listener.bind(("127.0.0.1", 0))
        listener.listen(8)
        self.start({"wam1": "127.0.0.1:%d" % listener.getsockname()[1]})
        # Dialled at once, then after 1, 2, 4 ... s: within 6 s three or four times, never in a tight loop.
        accepted = []
        deadline = time.monotonic() + 6
        while time.monotonic() < deadline:
            listener.settimeout(max(0.01, deadline - time.monotonic()))
            try:
                conn, _ = listener.accept()
            except socket.timeout:
                break
            accepted.append(time.monotonic())
            conn.close()
        self.assertGreaterEqual(len(accepted), 2)
        self.assertLessEqual(len(accepted), 4)
        gaps = [b - a for a, b in zip(accepted, accepted[1:])]
        self.assertEqual(gaps, sorted(gaps))


PP_HOST = b"/\xff\x80HOST xx0xx PP-3.14t Admpun"


class PpPeerTest(unittest.TestCase):
    maxDiff = None

    def test_a_dialling_pp_node_gets_host_and_users_and_its_user_may_be_on_two_channels(self):
        node = Node(self, "N0SRV", "pvnode", {"N0ABC": "Alice"}, links={"xx0xx": "*"}).start()
        node.connect("N0ABC")
        peer = ConversPeer.dial(node.listen_port)
        self.addCleanup(peer.close)
        # PP waits for the answer's HOST before it sends its users.
        peer.send(b"ppconvers" + PP_HOST + b"\r")
        self.assertEqual(peer.command(b"HOST").split(b" ")[0], b"pvnode")
        self.assertEqual(peer.command(b"USER").split(b" ")[:2], [b"n0abc", b"pvnode"])
        peer.send(b"/\xff\x80USER xx1bob xx0xx 1796645178 -1 0 \n\r"
                  b"/\xff\x80USER xx1bob xx0xx 1796645178 -1 5 \n\r/\xff\x80OPER conversd 5 xx1bob\n\r")
        node.wait_for_remote("xx1bob", "xx0xx")
        peer.send(b"/\xff\x80CMSG xx1bob 0 hello from bob\n\r")
        self.assertEqual(node.wait_for_line("N0ABC", "hello from bob"), "[0]<xx1bob@xx0xx> hello from bob\r\r")
        who = node.say("N0ABC", "/W")
        self.assertEqual(who.count("   User(xx1bob@xx0xx) Info()\r"), 2, who)
        self.assertIn("Channel 5", who)

    def test_we_dial_a_pp_node_with_our_permlink_line_first_and_read_its_login_answer(self):
        listener = socket.socket()
        self.addCleanup(listener.close)
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        listener.settimeout(DEFAULT_TIMEOUT)
        node = Node(self, "N0SRV", "pvnode", {"N0ABC": "Alice"},
                    links={"xx0xx": "127.0.0.1:%d N0SRV" % listener.getsockname()[1]}).start()
        node.connect("N0ABC")
        conn, _ = listener.accept()
        peer = ConversPeer(conn)
        self.addCleanup(peer.close)
        self.assertEqual(peer.next_line(), b"N0SRV")
        # Our HOST waits for the node's banner.
        self.assertEqual(peer.quiet(0.5), [])
        peer.send(b"Welcome to xx0xx\r\n")
        self.assertTrue(peer.next_line().startswith(b"/\xff\x80HOST pvnode "))
        peer.send(b"Login:" + PP_HOST + b"\r/\xff\x80USER xx1ali xx0xx 1796645160 -1 0 Alice at home\n\r")
        self.assertEqual(peer.command(b"USER").split(b" ")[:2], [b"n0abc", b"pvnode"])
        node.wait_for_remote("xx1ali", "xx0xx")
        self.assertIn("   User(xx1ali@xx0xx) Info(Alice at home)\r", node.say("N0ABC", "/W"))


if __name__ == "__main__":
    unittest.main(verbosity=2)
