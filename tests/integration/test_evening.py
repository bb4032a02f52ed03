"""A whole evening on the real program: stations connect through a scripted
AGWPE peer on 127.0.0.1, chat, use the commands and leave, and every frame the
server sends to each of them is compared, in order, with what it should send."""

import time
import unittest

from agwpeer import DEFAULT_TIMEOUT, AgwPeer, PalavoroRun, ini_text

SERVER = "N0SRV-1"
PORTS = ["Port1 first", "Port2 second"]
NOT_TO_A_STATION = "(not to a station)"


def prompt(area, call):
    return "\r[%d]{%s de %s}:\r" % (area, call, SERVER)


def area_line(area, sender, text):
    return "[%d]<%s@%s> %s\r" % (area, sender, SERVER, text)


def said(area, sender, line):
    """A typed line as the others get it: it keeps its own CR."""
    return area_line(area, sender, line + "\r")


def notice(area, sender, text):
    return area_line(area, sender, "<%s>\r" % text)


def welcome():
    return "Welcome to the %s Chat Server\r" % SERVER


def area_entry(area_id, topic, users):
    return "Id(%d) Topic(%s) Owner(%s) Users(%d)\r" % (area_id, topic, SERVER, users)


def user_entry(port, call, name="", info=""):
    return "   User(%d:%s) Name(%s) Info(%s)\r" % (port, call, name, info)


def total(count):
    return "   --- Total Users (%d)\r" % count


class Evening:
    """The peer's side of an evening: what the server sent each station, and what it should have sent.

    Every frame from the server lands in the transcript of the station it is
    addressed to ("D" as its text, "d" and "Y" as their kind); a frame with a
    wrong port, sender, PID or data keeps those details, so it cannot match.
    Frames for no known station go under NOT_TO_A_STATION. The peer answers
    each "Y" with a count of 0 and each "d" with the engine's disconnect notice,
    except for stations in `held`, whose notice the script sends itself.
    """

    def __init__(self, test, peer, run):
        self.test = test
        self.peer = peer
        self.run = run
        self.ports = {}
        self.got = {NOT_TO_A_STATION: []}
        self.want = {NOT_TO_A_STATION: []}
        self.held = set()

    # the stations

    def connect(self, call, port=1):
        self.ports[call] = port
        self.got.setdefault(call, [])
        self.want.setdefault(call, [])
        self.peer.connect_station(port, call, SERVER)

    def type(self, call, line):
        self.peer.send_line(self.ports[call], call, SERVER, line)

    def hang_up(self, call):
        self.peer.disconnect_station(self.ports[call], call, SERVER)

    # what the server should send

    def expect(self, call, *texts):
        self.want[call].extend(("D", text) for text in texts)

    def expect_disconnect(self, call, *then):
        """A "d" for the station; `then` are the texts that the server sends in the same turn after asking for it.

        The server asks the engine whether the station's frames are out ("Y")
        and the "d" waits for the answer, so those texts come before it.
        """
        self.expect(call, *then)
        self.want[call].append(("d",))

    # what it did send

    def _take(self, frame):
        call = frame.call_to
        if frame.kind in ("D", "d", "Y") and call in self.ports:
            entry = ("D", frame.text) if frame.kind == "D" else (frame.kind,)
            pid = 0xF0 if frame.kind == "D" else 0
            sound = frame.server_port == self.ports[call] and frame.call_from == SERVER and frame.pid == pid
            if not sound or (frame.kind != "D" and frame.data):
                details = (frame.server_port, frame.call_from, frame.pid, frame.data)
                entry += ("port %d from %s pid 0x%02X data %r" % details,)
            self.got[call].append(entry)
        else:
            entry = (frame.kind, frame.server_port, frame.call_from, frame.call_to, frame.data)
            self.got[NOT_TO_A_STATION].append(entry)
        if frame.kind == "Y":
            self.peer.send_outstanding(frame, 0)
        elif frame.kind == "g":
            self.peer.send("g", frame.port, 0, "", "", bytes(12))
        elif frame.kind == "y":
            self.peer.send("y", frame.port, 0, "", "", bytes(4))
        elif frame.kind == "d" and call not in self.held:
            self.peer.disconnect_station(frame.server_port, call, frame.call_from)

    def _next_frame(self, timeout):
        try:
            return self.peer.recv_frame(timeout)
        except ConnectionError:
            self.test.fail("the server closed the AGWPE connection; stderr: %r" % self.run.stderr())

    def _read_until(self, done, timeout=DEFAULT_TIMEOUT):
        deadline = time.monotonic() + timeout
        while not done():
            left = deadline - time.monotonic()
            frame = self._next_frame(left) if left > 0 else None
            if frame is None:
                return
            self._take(frame)

    def transcript(self, call):
        """What the station got but the "Y" requests, which pace its output and wait for its disconnect."""
        return [entry for entry in self.got.get(call, []) if entry != ("Y",)]

    def settle(self, timeout=DEFAULT_TIMEOUT):
        """Reads until each station has as many frames as it should, then compares every transcript whole."""
        self._read_until(lambda: all(len(self.transcript(c)) >= len(w) for c, w in self.want.items()), timeout)
        self.check()

    def quiet(self, seconds=0.5):
        """Reads until the server has been silent for `seconds`, then compares."""
        while True:
            frame = self._next_frame(seconds)
            if frame is None:
                break
            self._take(frame)
        self.check()

    def check(self):
        for call in self.want:
            self.test.assertEqual(self.transcript(call), self.want[call], "frames to %s" % call)


class EveningTest(unittest.TestCase):
    maxDiff = None

    def setUp(self):
        self.peer = AgwPeer(auto_answer=False)
        self.addCleanup(self.peer.close)

    def start(self, timeout_ms, files=None):
        settings = {
            "TCP_PORT": self.peer.port,
            "CALLSIGN": SERVER.lower(),
            "CREATEAREA": "YES",
            "DISABLE": "2",
            "TIMEOUT": timeout_ms,
        }
        run = PalavoroRun(ini_text({"PALAVORO": settings, "AREAS": ["1=General chat"]}), files=files)
        self.addCleanup(run.cleanup)
        self.addCleanup(run.stop)
        run.start()
        self.peer.accept()
        evening = Evening(self, self.peer, run)
        requests = []
        while len(requests) < 3:
            frame = evening._next_frame(DEFAULT_TIMEOUT)
            self.assertIsNotNone(frame, "start-up requests so far: %r" % requests)
            requests.append(frame)
        self.assertEqual([(f.kind, f.call_from) for f in requests], [("X", SERVER), ("G", ""), ("R", "")])
        return run, evening

    def answer_startup(self, evening):
        self.peer.send_registration(SERVER, 1)
        self.peer.send_ports(PORTS)
        self.peer.send_version()
        # The port list draws the heard list, parameters and queue length of each port.
        for port in range(1, len(PORTS) + 1):
            evening.want[NOT_TO_A_STATION].extend((kind, port, "", "", b"") for kind in "Hgy")
        # Then the callsign is registered on every further port.
        evening.want[NOT_TO_A_STATION].extend(("X", port, SERVER, "", b"") for port in range(2, len(PORTS) + 1))

    def finish(self, run, evening):
        evening.quiet()
        self.assertEqual([l for l in run.log_lines() if "Exception" in l], [])
        # A clean end, so that the sanitizers have their say on the way out.
        run.signal(15)
        # Stations still on are told and disconnected; the engine answers as they go.
        deadline = time.monotonic() + DEFAULT_TIMEOUT
        while run.running() and time.monotonic() < deadline:
            try:
                frame = evening.peer.recv_frame(0.2)
            except ConnectionError:
                break
            if frame is not None:
                evening._take(frame)
        self.assertEqual(run.wait(DEFAULT_TIMEOUT), 0, run.stderr())
        self.assertNotIn("Sanitizer", run.stderr())
        self.assertNotIn("runtime error", run.stderr())

    def test_an_evening_of_chat(self):
        busy, refused = "N9BSY", "N2PRT"
        a, b, c = "N0ABC", "K1BBB", "W2CCC-7"
        users = "[USERS]\r\nW2CCC=Carol\r\n[INFO]\r\nW2CCC=QRV nights\r\n"
        run, ev = self.start(600000, files={"Palavoro.USR": users})

        # Before the engine has taken the callsign, nobody is let in.
        ev.connect(busy)
        ev.expect(busy, "\r--- Server Busy, Try Later\r")
        ev.expect_disconnect(busy)
        ev.settle()

        self.answer_startup(ev)
        ev.connect(refused, port=2)
        ev.expect(refused, "\r--- Connections not Allowed on this Port\r")
        ev.expect_disconnect(refused)
        ev.settle()

        ev.connect(a)
        ev.expect(a, welcome(), prompt(0, a))
        ev.settle()
        ev.connect(b)
        ev.expect(b, welcome(), prompt(0, b))
        ev.expect(a, notice(0, b, b + " joined Area"))
        ev.settle()
        ev.connect(c)
        ev.expect(c, welcome(), "\rHello Carol!\r", prompt(0, c))
        ev.expect(a, notice(0, c, c + " joined Area"))
        ev.expect(b, notice(0, c, c + " joined Area"))
        ev.settle()

        ev.type(a, "Good evening all")
        ev.expect(b, said(0, a, "Good evening all"))
        ev.expect(c, said(0, a, "Good evening all"))
        ev.expect(a, prompt(0, a))
        ev.settle()

        ev.type(a, "/NA Alice")
        ev.expect(a, "\r-- User Name for Call(N0ABC) Name(Alice)\r", prompt(0, a))
        ev.type(b, "/NA Bob Smith")
        ev.expect(b, "\r-- User Name for Call(K1BBB) Name(Bob Smith)\r", prompt(0, b))
        ev.type(b, "/P Grid FN20")
        ev.expect(b, "\r-- User Name for Call(K1BBB) Personal(Grid FN20)\r", prompt(0, b))
        ev.settle()

        ev.type(c, "/W")
        ev.expect(
            c,
            "\rWho is here:\r",
            area_entry(0, "Root", 3),
            user_entry(1, a, "Alice"),
            user_entry(1, b, "Bob Smith", "Grid FN20"),
            user_entry(1, c, "Carol", "QRV nights"),
            total(3),
            area_entry(1, "General chat", 0),
            total(0),
            prompt(0, c),
        )
        ev.type(a, "/C *")
        ev.expect(a, "\rAreas Available:\r", area_entry(0, "Root", 3), area_entry(1, "General chat", 0), prompt(0, a))
        ev.settle()

        ev.type(b, "/J 1")
        ev.expect(a, notice(0, b, b + " left this area, now in Area(1)"))
        ev.expect(c, notice(0, b, b + " left this area, now in Area(1)"))
        ev.expect(b, "\r-- Now at Area(General chat) Topic(General chat)\r", prompt(1, b))
        ev.settle()
        ev.type(c, "/j 1")
        ev.expect(a, notice(0, c, c + " left this area, now in Area(1)"))
        ev.expect(c, "\r-- Now at Area(General chat) Topic(General chat)\r")
        ev.expect(b, notice(1, c, c + " joined Area"))
        ev.expect(c, prompt(1, c))
        ev.type(b, "Anyone on 40 m tonight?")
        ev.expect(c, said(1, b, "Anyone on 40 m tonight?"))
        ev.expect(b, prompt(1, b))
        ev.type(c, "/C")
        ev.expect(c, "\r-- Area(1) Info(General chat)\r", prompt(1, c))
        ev.settle()

        # A new area is announced in every area and takes its maker in.
        ev.type(b, "/NE Late night talk")
        ev.expect(b, "\r-- Created Area(Late night talk) Topic(Late night talk)\r")
        ev.expect(a, area_line(0, b, "New Area(128) created by Call(K1BBB)\r"))
        ev.expect(c, area_line(1, b, "New Area(128) created by Call(K1BBB)\r"))
        ev.expect(c, notice(1, b, b + " left this area, now in Area(128)"))
        ev.expect(b, "\r-- Now at Area(Late night talk) Topic(Late night talk)\r", prompt(128, b))
        ev.settle()

        ev.type(b, "/T 128 Night owls")
        ev.expect(b, "\r-- Area(Night owls) Topic(Night owls)\r", prompt(128, b))
        ev.type(c, "/T 128 Mine now")
        ev.expect(c, "\r-- Area(Night owls) Not Owned by Call(W2CCC-7)\r", prompt(1, c))
        ev.settle()

        ev.type(c, "/F k1bbb")
        ev.expect(c, "\r-- Followed User (K1BBB) into Area(128-Night owls)\r")
        ev.expect(c, "\r-- Now at Area(Night owls) Topic(Night owls)\r")
        ev.expect(b, notice(128, c, c + " joined Area"))
        ev.expect(c, prompt(128, c))
        ev.settle()

        ev.type(a, "/M w2ccc-7 Are you still there?")
        ev.expect(c, "[128]<W2CCC-7@N0SRV-1> ((PRIVATE MESSAGE FROM N0ABC))\rAre you still there?\r")
        ev.expect(a, prompt(0, a))
        ev.settle()
        ev.type(a, "/M 128 Hello night owls")
        ev.expect(b, area_line(128, a, "Hello night owls"))
        ev.expect(c, area_line(128, a, "Hello night owls"))
        ev.expect(a, prompt(0, a))
        ev.type(c, "Yes, here")
        ev.expect(b, said(128, c, "Yes, here"))
        ev.expect(c, prompt(128, c))
        ev.settle()

        ev.type(c, "/D 128")
        ev.expect(c, "\r-- Area(128) Not Owned by Call(W2CCC-7)\r", prompt(128, c))
        ev.settle()
        # The owner's destroy moves its users to Root one by one, in the order they connected.
        ev.type(b, "/D 128")
        removed = "\r-- Area(128) Removed by Owner Now at Area(0-Night owls)\r"
        ev.expect(b, removed, "\r-- Now at Area(Root) Topic(Root)\r")
        ev.expect(c, notice(128, b, b + " left this area, now in Area(0)"))
        ev.expect(a, notice(0, b, b + " joined Area"))
        ev.expect(c, removed, "\r-- Now at Area(Root) Topic(Root)\r")
        ev.expect(a, notice(0, c, c + " joined Area"))
        ev.expect(b, notice(0, c, c + " joined Area"))
        ev.expect(b, "\r-- Area(128) Topic(Night owls) Removed\r")
        ev.expect(a, area_line(0, b, "-- Area(128-Night owls) Removed by Call(K1BBB)\r"))
        ev.expect(c, area_line(0, b, "-- Area(128-Night owls) Removed by Call(K1BBB)\r"))
        ev.expect(b, prompt(0, b))
        ev.settle()
        ev.type(a, "/C *")
        ev.expect(a, "\rAreas Available:\r", area_entry(0, "Root", 3), area_entry(1, "General chat", 0), prompt(0, a))
        ev.settle()

        # Bye: the area hears of it once, before the engine's notice and not again after it.
        ev.type(c, "/B")
        ev.expect(a, notice(0, c, c + " left Area"))
        ev.expect(b, notice(0, c, c + " left Area"))
        ev.expect(c, "\r--- GoodBye!\r")
        ev.expect_disconnect(c, prompt(0, c))
        ev.settle()

        ev.hang_up(a)
        ev.expect(b, notice(0, a, a + " left Area"))
        ev.settle()

        ev.type(b, "/bye")
        ev.expect(b, "\r--- GoodBye!\r")
        ev.expect_disconnect(b, prompt(0, b))
        ev.settle()

        # The same station under another SSID: its name came back from the user file, and Root counts one.
        b2 = "K1BBB-2"
        ev.connect(b2)
        ev.expect(b2, welcome(), "\rHello Bob Smith!\r", prompt(0, b2))
        ev.settle()
        ev.type(b2, "/W")
        ev.expect(
            b2,
            "\rWho is here:\r",
            area_entry(0, "Root", 1),
            user_entry(1, b2, "Bob Smith", "Grid FN20"),
            total(1),
            area_entry(1, "General chat", 0),
            total(0),
            prompt(0, b2),
        )
        ev.settle()
        self.finish(run, ev)

    def test_time_limit_logs_an_idle_user_out(self):
        idle, watcher = "N3IDL", "N4OBS-1"
        run, ev = self.start(1500)
        self.answer_startup(ev)

        ev.held.add(idle)
        ev.connect(idle)
        ev.expect(idle, welcome(), prompt(0, idle), "\r--- Inactivity Timeout, Logging out\r")
        ev.expect_disconnect(idle)
        ev.settle()

        # Until the engine reports the end of the connection the block stays, in Root.
        ev.connect(watcher)
        ev.expect(watcher, welcome(), prompt(0, watcher))
        ev.expect(idle, notice(0, watcher, watcher + " joined Area"))
        ev.settle()
        ev.hang_up(idle)
        ev.expect(watcher, notice(0, idle, idle + " left Area"))
        ev.settle()
        # The connection log on standard error tells the journal how each one went.
        stations = [l for l in run.stderr_lines() if l.split(" ")[0] in ("connect", "refused", "left")]
        self.assertEqual(stations, ["connect N3IDL port 1", "connect N4OBS-1 port 1", "left N3IDL port 1: time limit"])

        ev.expect(watcher, "\r--- Inactivity Timeout, Logging out\r")
        ev.expect_disconnect(watcher)
        ev.settle()
        self.finish(run, ev)


if __name__ == "__main__":
    unittest.main(verbosity=2)
