"""The status page of a node with a host link, in headless Chromium: the
links table and the users of other nodes show what /status.json says, and a
neighbour's texts are shown as text, never read as markup."""

import shutil
import subprocess
import tempfile
import unittest

from conversnet import ConversPeer, Node
from test_status_page import CHROMIUM, WIDTHS, Tables, evaluate_in_page

# Markup, and as long as a personal text may be, with a word longer than a column.
NOTE = ('<img src=x onerror="document.title=1">&amp; "quoted" QTH Springfield, FT-991A into a 5-element yagi at 12 m;'
        ' QSL via https://www.example.org/qsl/cards/xx1car/please-send-a-card-to-this-very-long-address-too')


@unittest.skipIf(CHROMIUM is None, "chromium is not installed (scripts/install-deps.sh --tests)")
class ConversStatusPageTest(unittest.TestCase):
    maxDiff = None

    def test_links_and_remote_users_appear_as_text(self):
        node = Node(self, "N0SRV", "pvnode", {"N0ABC": "Alice"}, links={"wam1": "*", "xx0xx": "127.0.0.1:9"})
        node.start()
        peer = ConversPeer.dial(node.listen_port)
        self.addCleanup(peer.close)
        peer.send(b"convers\n/\xff\x80HOST wam1 W-2.81 dpu\n/\xff\x80USER carol wam1 1796684259 -1 0 "
                  + NOTE.encode() + b"\n/\xff\x80USER dave wam3 1796684259 -1 7 @\n")
        node.wait_for_remote("dave", "wam3")
        status = node.status()

        profile = tempfile.mkdtemp(prefix="palavoro-chromium-")
        self.addCleanup(shutil.rmtree, profile, True)
        done = subprocess.run([CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                               "--user-data-dir=" + profile, "--virtual-time-budget=4000", "--dump-dom",
                               "http://127.0.0.1:%d/" % node.status_port],
                              capture_output=True, text=True, timeout=120)
        self.assertEqual(done.returncode, 0, done.stderr[-2000:])
        page = Tables(done.stdout)

        links = {l["name"]: l for l in status["links"]}
        self.assertEqual(sorted(links), ["wam1", "xx0xx"])
        wam1 = links["wam1"]
        self.assertEqual((wam1["state"], wam1["software"], wam1["users"]), ("up", "W-2.81", 2))
        # xx0xx is dialled in vain meanwhile.
        rows = {row[0]: row for row in page.tables["links"]}
        self.assertEqual(sorted(rows), ["wam1", "xx0xx"])
        self.assertEqual(rows["wam1"][:4] + rows["wam1"][6:],
                         ["wam1", wam1["address"] + " (in)", "up", "W-2.81", "2"])
        # Refused at once whenever dialled: it waits, with no connection to have a direction.
        self.assertEqual(rows["xx0xx"][1:3], ["127.0.0.1:9", "waiting, last: Connection refused"])
        self.assertEqual(page.texts["node-line"], "Node pvnode \u00b7 listening on 127.0.0.1:%d" % node.listen_port)
        self.assertIn("no-links", page.hidden)

        topics = {a["id"]: a["topic"] for a in status["areas"]}
        self.assertEqual(sorted(page.tables["remote-users"]),
                         [["carol", "wam1", "0 Root", NOTE, "wam1"], ["dave", "wam3", "7 Channel 7", "", "wam1"]])
        self.assertEqual(topics[7], "Channel 7")
        self.assertIn("no-remote-users", page.hidden)

        # A sysop's screen shows every table whole: no scroll bar on the page or in a section.
        widths = evaluate_in_page("http://127.0.0.1:%d/" % node.status_port, WIDTHS, 1280)
        self.assertLessEqual(widths["page"], widths["window"], widths)
        self.assertEqual([s for s in widths["sections"] if s[1] > s[2]], [], widths)


if __name__ == "__main__":
    unittest.main(verbosity=2)
