"""The status page of the real program, in a real browser (headless Chromium):
stations that connect through the scripted AGWPE peer appear with their name,
port and area, and go when they leave; the page shows what /status.json says;
it listens on loopback only unless told otherwise, and a port in use leaves
the chat running without it.

With PALAVORO_SCREENSHOT set, the page is also saved there as a PNG (the
README's picture)."""

import fcntl
import itertools
import json
import os
import select
import shutil
import socket
import subprocess
import tempfile
import time
import unittest
import urllib.error
import urllib.request
from html.parser import HTMLParser

from agwpeer import DEFAULT_TIMEOUT, AgwPeer, PalavoroRun, PeerConfig, free_port, ini_text

SERVER = "N0SRV-1"
PORTS = ["Port1 144.800 MHz 1200 bd", "Port2 432.500 MHz 9600 bd", "Port3 10.147 MHz 300 bd"]
CHROMIUM = shutil.which("chromium")


class Tables(HTMLParser):
    """The text of each cell of the rows of every <tbody>, by the tbody's id, the hidden elements' ids,
    and the text directly in each element that has an id, by its id."""

    def __init__(self, html):
        super().__init__()
        self.tables = {}
        self.hidden = set()
        self.texts = {}
        self._named = []
        self._body = self._row = self._cell = None
        self.feed(html)

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if "hidden" in attrs and "id" in attrs:
            self.hidden.add(attrs["id"])
        if "id" in attrs:
            self._named.append((tag, attrs["id"]))
            self.texts[attrs["id"]] = ""
        if tag == "tbody":
            self._body = self.tables.setdefault(attrs.get("id"), [])
        elif tag == "tr" and self._body is not None:
            self._row = []
            self._body.append(self._row)
        elif tag == "td" and self._row is not None:
            self._cell = ""

    def handle_endtag(self, tag):
        if self._named and self._named[-1][0] == tag:
            self._named.pop()
        if tag == "td" and self._cell is not None:
            self._row.append(self._cell)
            self._cell = None
        elif tag == "tbody":
            self._body = None

    def handle_data(self, data):
        if self._cell is not None:
            self._cell += data
        if self._named:
            self.texts[self._named[-1][1]] += data


# Once the page has drawn what it fetched (null before): the window's width,
# the page's scroll width, and each section's heading, scroll and client widths.
WIDTHS = """(() => {
  const updated = document.getElementById("updated");
  if (!updated || updated.textContent === "never") return null;
  return {window: innerWidth, page: document.documentElement.scrollWidth,
          sections: [...document.querySelectorAll("section")].map(
              (s) => [s.querySelector("h2").textContent, s.scrollWidth, s.clientWidth])};
})()"""


def evaluate_in_page(url, expression, width):
    """The first value other than null of `expression` (JavaScript, evaluated again until then) in `url`
    opened in headless Chromium `width` pixels wide, asked over the DevTools pipe: JSON messages ending in
    NUL that Chromium reads from descriptor 3 and writes to 4."""
    profile = tempfile.mkdtemp(prefix="palavoro-chromium-")
    (low_to, ours), (theirs, low_from) = os.pipe(), os.pipe()
    # Chromium's ends at 10 and above, where "3<&n 4>&m" cannot put one over the other (bash: dash takes
    # none past 9).
    to_browser, from_browser = (fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, 10) for fd in (low_to, low_from))
    os.close(low_to)
    os.close(low_from)
    browser = subprocess.Popen(
        ["bash", "-c", 'exec "$@" 3<&%d 4>&%d' % (to_browser, from_browser), "bash", CHROMIUM, "--headless",
         "--no-sandbox", "--disable-gpu", "--no-first-run", "--user-data-dir=" + profile, "--remote-debugging-pipe",
         "--window-size=%d,900" % width, url],
        pass_fds=(to_browser, from_browser), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(to_browser)
    os.close(from_browser)
    received, deadline, numbers = b"", time.monotonic() + 60, itertools.count(1)

    def ask(method, params=None, session=None, answered=True):
        nonlocal received
        number = next(numbers)
        os.write(ours, json.dumps({"id": number, "method": method, "params": params or {},
                                   **({"sessionId": session} if session else {})}).encode() + b"\0")
        while answered:
            while b"\0" not in received:
                ready = select.select([theirs], [], [], max(0, deadline - time.monotonic()))[0]
                more = os.read(theirs, 65536) if ready else b""
                if not more:
                    raise AssertionError("Chromium did not answer %s" % method)
                received += more
            text, received = received.split(b"\0", 1)
            answer = json.loads(text)
            if answer.get("id") == number:
                return answer.get("result", answer)

    try:
        page = next(t for t in ask("Target.getTargets")["targetInfos"] if t["type"] == "page")
        session = ask("Target.attachToTarget", {"targetId": page["targetId"], "flatten": True})["sessionId"]
        value = None
        while value is None and time.monotonic() < deadline:
            time.sleep(0.1)
            value = ask("Runtime.evaluate", {"expression": expression, "returnByValue": True},
                        session)["result"].get("value")
        ask("Browser.close", answered=False)
        browser.wait(30)
        return value
    finally:
        os.close(ours)
        os.close(theirs)
        if browser.poll() is None:
            browser.kill()
            browser.wait()
        shutil.rmtree(profile, True)


def listening_addresses(port):
    """The local addresses of the TCP sockets listening on `port`, from /proc/net/tcp and tcp6."""
    found = []
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        with open(table) as f:
            for line in f.readlines()[1:]:
                fields = line.split()
                address, hex_port = fields[1].split(":")
                if int(hex_port, 16) == port and fields[3] == "0A":
                    found.append(address)
    return found


class StatusPageTest(unittest.TestCase):
    maxDiff = None

    def setUp(self):
        self.peer = AgwPeer(config=PeerConfig(ports=PORTS))
        self.addCleanup(self.peer.close)
        self.profile = tempfile.mkdtemp(prefix="palavoro-chromium-")
        self.addCleanup(shutil.rmtree, self.profile, True)

    def start(self, status):
        settings = {"TCP_PORT": self.peer.port, "CALLSIGN": SERVER, "STATUS": status, "DISABLE": "2"}
        users = "[USERS]\r\nN0ABC=Alice\r\nK1BBB=Bob\r\n"
        run = PalavoroRun(ini_text({"PALAVORO": settings, "AREAS": ["1=General chat"]}),
                          files={"Palavoro.USR": users})
        self.addCleanup(run.cleanup)
        self.addCleanup(run.stop)
        run.start()
        self.peer.accept()
        self.peer.serve_startup()
        return run

    def connect(self, call, port=1):
        self.peer.connect_station(port, call, SERVER)
        self.peer.wait_for_data_to(call, contains="}:")

    def say(self, call, line, port=1):
        self.peer.send_line(port, call, SERVER, line)
        self.peer.wait_for_data_to(call, contains="}:")

    def status(self, port):
        with urllib.request.urlopen("http://127.0.0.1:%d/status.json" % port, timeout=DEFAULT_TIMEOUT) as answer:
            self.assertEqual(answer.headers["Content-Type"], "application/json")
            return json.load(answer)

    def chromium(self, port, *args):
        command = [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                   "--user-data-dir=" + self.profile, "--virtual-time-budget=4000", *args,
                   "http://127.0.0.1:%d/" % port]
        done = subprocess.run(command, capture_output=True, text=True, timeout=120)
        self.assertEqual(done.returncode, 0, done.stderr[-2000:])
        return done.stdout

    def page(self, port):
        return Tables(self.chromium(port, "--dump-dom"))

    @unittest.skipIf(CHROMIUM is None, "chromium is not installed (scripts/install-deps.sh --tests)")
    def test_the_page_follows_the_stations_and_matches_the_json(self):
        port = free_port()
        run = self.start(str(port))
        self.connect("N0ABC")
        self.say("N0ABC", "/J 1")
        self.say("N0ABC", "Good evening")
        self.connect("K1BBB-7")
        self.connect("W2CCC", port=3)
        self.peer.connect_station(2, "N9PRT", SERVER)
        self.peer.wait_for_data_to("N9PRT")

        status = self.status(port)
        self.assertEqual(status["link"]["state"], "connected")
        self.assertEqual([(p["port"], p["name"], p["open"]) for p in status["link"]["ports"]],
                         [(1, PORTS[0], True), (2, PORTS[1], False), (3, PORTS[2], True)])
        self.assertEqual([(s["call"], s["name"], s["port"], s["area"], s["linesSaid"]) for s in status["stations"]],
                         [("N0ABC", "Alice", 1, 1, 2), ("K1BBB-7", "Bob", 1, 0, 0), ("W2CCC", "", 3, 0, 0)])
        self.assertEqual([(a["id"], a["topic"], a["users"]) for a in status["areas"]],
                         [(0, "Root", ["K1BBB-7", "W2CCC"]), (1, "General chat", ["N0ABC"])])
        self.assertEqual(status["counters"]["connects"], 3)
        self.assertEqual(status["counters"]["refusals"], 1)
        self.assertEqual(status["counters"]["linesRelayed"], 1)

        page = self.page(port)
        topics = {a["id"]: a["topic"] for a in status["areas"]}
        # Times as the JSON gives them, UTC, whatever the browser's locale.
        self.assertEqual([row[:5] for row in page.tables["stations"]],
                         [[s["call"], s["name"], str(s["port"]), "%d %s" % (s["area"], topics[s["area"]]),
                           s["connectedAt"]] for s in status["stations"]])
        self.assertEqual(page.texts["started-at"], status["startedAt"])
        self.assertEqual(page.tables["areas"],
                         [[str(a["id"]), a["topic"], a["owner"], " ".join(a["users"])] for a in status["areas"]])
        # What only the answer puts there.
        self.assertEqual(page.texts["link-state"], "connected")
        self.assertEqual([page.texts[i] for i in ("connects", "refusals", "lines-relayed")], ["3", "1", "1"])
        self.assertEqual(page.texts["callsign"], SERVER)
        self.assertIn("problem", page.hidden)  # no fetch failed
        self.assertIn("node-line", page.hidden)  # on no network
        if os.environ.get("PALAVORO_SCREENSHOT"):
            self.chromium(port, "--window-size=1000,640", "--hide-scrollbars",
                          "--screenshot=" + os.environ["PALAVORO_SCREENSHOT"])

        for call, station_port in (("N0ABC", 1), ("K1BBB-7", 1), ("W2CCC", 3)):
            self.peer.disconnect_station(station_port, call, SERVER)
        deadline = time.monotonic() + DEFAULT_TIMEOUT
        while self.status(port)["stations"] and time.monotonic() < deadline:
            time.sleep(0.05)
        page = self.page(port)
        self.assertEqual(page.tables["stations"], [])
        self.assertNotIn("no-stations", page.hidden)
        self.assertEqual(page.tables["areas"], [["0", "Root", SERVER, ""], ["1", "General chat", SERVER, ""]])
        self.assertTrue(run.running())

    def test_a_port_alone_listens_on_loopback_only_and_only_for_reading(self):
        port = free_port()
        run = self.start(str(port))
        self.status(port)
        self.assertEqual(listening_addresses(port), ["0100007F"])
        self.assertIn("Palavoro: status page on http://127.0.0.1:%d/\n" % port, run.stderr())
        for path, method in (("/status.json", "POST"), ("/", "PUT"), ("/status.json", "DELETE"), ("/x", "GET")):
            with self.subTest(method=method, path=path):
                request = urllib.request.Request("http://127.0.0.1:%d%s" % (port, path), data=b"{}", method=method)
                with self.assertRaises(urllib.error.HTTPError) as refused:
                    urllib.request.urlopen(request, timeout=DEFAULT_TIMEOUT)
                self.assertEqual(refused.exception.code, 404)

    def test_a_port_in_use_leaves_the_chat_running_without_the_page(self):
        taken = socket.socket()
        self.addCleanup(taken.close)
        taken.bind(("127.0.0.1", 0))
        taken.listen(1)
        port = taken.getsockname()[1]
        run = self.start("127.0.0.1:%d" % port)
        self.connect("N0ABC")
        self.assertEqual([l for l in run.stderr_lines() if "status page" in l],
                         ["Palavoro: no status page: cannot listen on 127.0.0.1:%d: The bound address is already in use"
                          % port])


if __name__ == "__main__":
    unittest.main(verbosity=2)
