"""The sysop's hands on the real running program: `palavoro ctl` (a notice to
every station, a station sent away while the others stay, a neighbour taken
down and up again, no server), and Palavoro.INI read again by `ctl reload`
and by SIGHUP: a neighbour added and one removed while a station chats on
undisturbed, and a file with an error changing nothing."""

import signal
import subprocess
import unittest

from agwpeer import DEFAULT_TIMEOUT, free_port, ini_text, palavoro_binary
from conversnet import PREFIX, ConversPeer, Node, wait_until


class SysopControlTest(unittest.TestCase):
    maxDiff = None

    def setUp(self):
        self.node = Node(self, "N0SRV", "pvnode", {"N0ABC": "Ann", "N0DEF": "Dan"},
                         links={"wam1": "*"}).start()
        self.node.connect("N0ABC")
        self.node.connect("N0DEF")

    def ctl(self, *words):
        done = subprocess.run([palavoro_binary(), "--dir", self.node.run.workdir, "ctl", *words],
                              capture_output=True, text=True, timeout=DEFAULT_TIMEOUT)
        return done.returncode, done.stdout + done.stderr

    def neighbour(self, name):
        peer = ConversPeer.dial(self.node.listen_port)
        self.addCleanup(peer.close)
        peer.send(PREFIX + b"HOST " + name + b" W-2.81 dpu\n" + PREFIX + b"USER carol " + name + b" 1 -1 0 @\n")
        return peer

    def rewrite(self, links, extra=None):
        settings = {"TCP_PORT": self.node.peer.port, "CALLSIGN": "N0SRV", "STATUS": str(self.node.status_port)}
        settings.update(extra or {})
        self.node.run.write("Palavoro.INI", ini_text({
            "PALAVORO": settings, "CONVERS": {"HOSTNAME": "pvnode", "LISTEN": self.node.address},
            "LINKS": ["%s=*" % name for name in links]}))

    def test_notice_kick_and_a_link_taken_down_and_up(self):
        self.assertEqual(self.ctl("notice", "back", "at", "nine"), (0, "told 2 stations\n"))
        for call in ("N0ABC", "N0DEF"):
            self.assertEqual(self.node.wait_for_line(call, "Sysop"), "\r-- Sysop: back at nine\r")
        self.assertEqual(self.ctl("kick", "N0ABC", "see", "you"), (0, "N0ABC: 1 station disconnected\n"))
        self.assertEqual(self.node.wait_for_line("N0ABC", "see you"), "\rsee you\r")
        self.node.peer.wait_for("d", match=lambda f: f.call_to == "N0ABC")
        self.node.peer.disconnect_station(1, "N0ABC", "N0SRV")
        wait_until(lambda: "left N0ABC port 1: sent away by the sysop" in self.node.log_lines(), what="the departure")
        self.assertIn("N0DEF", self.node.say("N0DEF", "/W"))

        self.neighbour(b"wam1").command(b"HOST")
        self.node.wait_for_links("wam1")
        self.assertEqual(self.ctl("link", "down", "wam1")[0], 0)
        self.node.wait_for_links("wam1", state="down")
        refused = self.neighbour(b"wam1")
        self.assertRaises(ConnectionError, refused.next_line)
        self.assertEqual(self.ctl("link", "down", "wam9"), (1, "no neighbour wam9 in [LINKS]\n"))
        self.assertEqual(self.ctl("link", "up", "wam1")[0], 0)
        self.neighbour(b"wam1").command(b"HOST")
        self.node.wait_for_links("wam1")
        self.assertTrue(any(l.startswith("ctl: link down wam1 (uid ") for l in self.node.log_lines()))

    def test_a_reload_changes_the_neighbours_while_a_station_chats_on(self):
        wam1 = self.neighbour(b"wam1")
        wam1.command(b"HOST")
        self.node.wait_for_remote("carol", "wam1")
        since = len(self.node.peer.received)
        moved = free_port()
        self.rewrite(["wam2"], {"TIMEOUT": 300000, "STATUS": str(moved)})
        self.assertEqual(self.ctl("reload"), (0, "TIMEOUT=300000\nSTATUS=127.0.0.1:%d\n[LINKS] wam1 removed\n"
                                                 "[LINKS] wam2 added\n" % moved))
        # The status page has moved with it.
        self.node.status_port = moved
        self.assertRaises(ConnectionError, wam1.quiet, DEFAULT_TIMEOUT)
        self.neighbour(b"wam2").command(b"HOST")
        self.node.wait_for_links("wam2")
        self.node.say("N0ABC", "chatting on")
        to_dan = lambda: "".join(f.text for f in self.node.peer.received[since:] if f.call_to == "N0DEF")
        wait_until(lambda: "[0]<N0ABC@N0SRV> chatting on" in to_dan(), what="the line at N0DEF")
        self.assertNotIn("Welcome", to_dan())
        self.assertNotIn("N0ABC left", to_dan())

        # A file start-up would refuse changes nothing, whether ctl or SIGHUP asks.
        self.rewrite(["wam3"], {"TCP_PORT": "port"})
        code, said = self.ctl("reload")
        self.assertEqual(code, 1)
        self.assertTrue(said.endswith("nothing changed: the server would not start with this file\n"), said)
        self.node.run.signal(signal.SIGHUP)
        self.node.run.wait_for_log(lambda l: l.startswith("{PALAVORO} Reload refused, nothing changed: "))
        self.assertEqual(self.node.link_states(), {"wam2": "up"})
        self.rewrite(["wam2", "wam3"])
        self.node.run.signal(signal.SIGHUP)
        wait_until(lambda: "wam3" in self.node.link_states(), what="wam3 added by SIGHUP")

    def test_ctl_without_a_server_says_where_it_looked(self):
        self.node.run.stop()
        code, said = self.ctl("status")
        self.assertEqual(code, 2)
        self.assertIn(self.node.run.workdir + "/ctl.sock", said)


if __name__ == "__main__":
    unittest.main()
