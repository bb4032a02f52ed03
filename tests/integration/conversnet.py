"""Palavoro nodes of a convers network on 127.0.0.1, for the integration tests.

A Node is one real palavoro program with its own scripted AGWPE engine
(agwpeer.AgwPeer), its own status page (read for the links' states) and a
host-link listener; its [LINKS] name the other nodes. A HeldProxy stands
between two nodes and holds a connection until told to pass it on, so that a
test decides when that link comes up, and cuts every connection it joined
when told to, as a network blip does. ConversPeer is a scripted convers node
speaking the host protocol itself; WNode a scripted node that keeps what it
learns as a real W node does.
"""

import json
import select
import socket
import threading
import time
import urllib.request

from agwpeer import DEFAULT_TIMEOUT, AgwPeer, PalavoroRun, PeerConfig, free_port, ini_text

# The host command prefix: "/" 0xFF 0x80.
PREFIX = b"/\xff\x80"
LINK_TIMEOUT = 30.0


def wait_until(condition, timeout=LINK_TIMEOUT, what="the condition"):
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise TimeoutError("no %s within %.0f s" % (what, timeout))
        time.sleep(0.05)


class Node:
    """A palavoro program as a network node called `host` (its HOSTNAME), with
    `stations` ({call: name}) known in its Palavoro.USR and `links`
    ({neighbour: "address:port [first line]" or "*"})."""

    def __init__(self, test, callsign, host, stations, links=None, listen_port=None, env=None):
        self.test = test
        self.env = env
        self.callsign = callsign
        self.host = host
        self.stations = stations
        self.links = dict(links or {})
        self.listen_port = listen_port or free_port()
        self.status_port = free_port()
        self.peer = None
        self.run = None

    @property
    def address(self):
        return "127.0.0.1:%d" % self.listen_port

    def start(self):
        self.peer = AgwPeer(config=PeerConfig(ports=["Port1 " + self.host]))
        self.test.addCleanup(self.peer.close)
        settings = {"TCP_PORT": self.peer.port, "CALLSIGN": self.callsign, "STATUS": str(self.status_port)}
        users = "[USERS]\r\n" + "".join("%s=%s\r\n" % item for item in self.stations.items())
        ini = ini_text({"PALAVORO": settings, "CONVERS": {"HOSTNAME": self.host, "LISTEN": self.address},
                        "LINKS": ["%s=%s" % item for item in self.links.items()]})
        self.run = PalavoroRun(ini, files={"Palavoro.USR": users}, env=self.env)
        self.test.addCleanup(self.run.cleanup)
        self.test.addCleanup(self.run.stop)
        self.run.start()
        self.peer.accept()
        self.peer.serve_startup()
        return self

    def stop(self):
        self.run.stop()
        self.peer.close()

    # the stations on this node's radio

    def connect(self, call):
        self.peer.connect_station(1, call, self.callsign)
        self.peer.wait_for_data_to(call, contains="}:")

    def say(self, call, line):
        """Sends a line from `call` and returns everything sent to it up to its next prompt."""
        self.peer.send_line(1, call, self.callsign, line)
        return self.answer(call)

    def answer(self, call):
        text = ""
        deadline = time.monotonic() + DEFAULT_TIMEOUT
        while "}:" not in text:
            frame = self.peer.wait_for_data_to(call, timeout=max(0.1, deadline - time.monotonic()))
            text += frame.text
        return text

    def data_to(self, call, quiet=1.0):
        """The texts of the "D" frames to `call` until nothing has come for `quiet` seconds."""
        return [f.text for f in self.peer.collect(quiet=quiet) if f.kind == "D" and f.call_to == call]

    def wait_for_line(self, call, text, timeout=LINK_TIMEOUT):
        return self.peer.wait_for_data_to(call, timeout=timeout, contains=text).text

    # the sysop's view

    def status(self):
        url = "http://127.0.0.1:%d/status.json" % self.status_port
        with urllib.request.urlopen(url, timeout=DEFAULT_TIMEOUT) as answer:
            return json.load(answer)

    def link_states(self):
        return {link["name"]: link["state"] for link in self.status().get("links", [])}

    def wait_for_links(self, *names, state="up", timeout=LINK_TIMEOUT):
        wait_until(lambda: all(self.link_states().get(n) == state for n in names), timeout,
                   "link%s %s %s on %s" % ("s" if len(names) > 1 else "", ", ".join(names), state, self.host))

    def remote_users(self):
        return sorted((u["name"], u["host"], u["area"], u["link"]) for u in self.status().get("remoteUsers", []))

    def wait_for_remote(self, name, host, timeout=LINK_TIMEOUT):
        wait_until(lambda: any(u[0] == name and u[1] == host for u in self.remote_users()), timeout,
                   "remote user %s@%s on %s" % (name, host, self.host))

    def log_lines(self):
        """What the program wrote to standard error, by line, without the times."""
        return self.run.stderr_lines()


class HeldProxy:
    """Listens on 127.0.0.1 and holds every connection it takes, reading what
    comes, until release(): from then on each is joined to `target` (a port on
    127.0.0.1) with what it held passed on first. Runs in a thread of its own."""

    def __init__(self, target_port):
        self.target_port = target_port
        self._listener = socket.socket()
        self._listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._listener.bind(("127.0.0.1", 0))
        self._listener.listen(8)
        self.port = self._listener.getsockname()[1]
        self._released = threading.Event()
        self._cut = threading.Event()
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def release(self):
        self._released.set()

    def cut(self):
        """Closes both sides of every connection it holds or joined."""
        self._cut.set()
        wait_until(lambda: not self._cut.is_set(), what="the cut")

    def close(self):
        self._stop.set()
        self._thread.join(DEFAULT_TIMEOUT)
        self._listener.close()

    def _serve(self):
        pairs = {}   # socket -> its partner (None while held)
        held = {}    # a held socket -> what it sent so far
        while not self._stop.is_set():
            if self._cut.is_set():
                for s in list(pairs):
                    self._drop(pairs, held, s)
                self._cut.clear()
            readable, _, _ = select.select([self._listener] + list(pairs), [], [], 0.05)
            for s in readable:
                if s is self._listener:
                    conn, _ = s.accept()
                    pairs[conn] = None
                    held[conn] = b""
                    continue
                if s not in pairs:
                    continue
                try:
                    data = s.recv(65536)
                except OSError:
                    data = b""
                partner = pairs[s]
                if not data:
                    self._drop(pairs, held, s)
                elif partner is None:
                    held[s] += data
                else:
                    try:
                        partner.sendall(data)
                    except OSError:
                        self._drop(pairs, held, s)
            if self._released.is_set():
                for s in [s for s, partner in pairs.items() if partner is None and s in held]:
                    try:
                        target = socket.create_connection(("127.0.0.1", self.target_port), DEFAULT_TIMEOUT)
                        target.sendall(held.pop(s))
                    except OSError:
                        self._drop(pairs, held, s)
                        continue
                    pairs[s] = target
                    pairs[target] = s
        for s in pairs:
            s.close()

    @staticmethod
    def _drop(pairs, held, s):
        partner = pairs.pop(s, None)
        held.pop(s, None)
        s.close()
        if partner is not None:
            pairs.pop(partner, None)
            partner.close()



class ConversPeer:
    """A scripted convers node over one TCP connection: sends raw bytes and
    reads host command lines (split on CR or LF, empty ones skipped)."""

    def __init__(self, sock):
        self.sock = sock
        self._buffer = b""
        self._pending = []
        self.lines = []  # every line received, in order

    @classmethod
    def dial(cls, port):
        return cls(socket.create_connection(("127.0.0.1", port), DEFAULT_TIMEOUT))

    def close(self):
        self.sock.close()

    def send(self, data):
        self.sock.sendall(data)

    def _read(self, timeout):
        ready, _, _ = select.select([self.sock], [], [], max(0.0, timeout))
        if not ready:
            return False
        chunk = self.sock.recv(65536)
        if not chunk:
            raise ConnectionError("the node closed the host link")
        self._buffer += chunk
        while True:
            ends = [i for i in (self._buffer.find(b"\r"), self._buffer.find(b"\n")) if i >= 0]
            if not ends:
                break
            end = min(ends)
            line, self._buffer = self._buffer[:end], self._buffer[end + 1:]
            if line:
                self.lines.append(line)
                self._pending.append(line)
        return True

    def next_line(self, timeout=DEFAULT_TIMEOUT, match=None):
        """The next line not yet taken (for which match(line) holds: others are passed over)."""
        deadline = time.monotonic() + timeout
        while True:
            while self._pending:
                line = self._pending.pop(0)
                if match is None or match(line):
                    return line
            left = deadline - time.monotonic()
            if left <= 0 or not self._read(left):
                raise TimeoutError("no line within %.1f s; received %r" % (timeout, self.lines[-10:]))

    def command(self, word, timeout=DEFAULT_TIMEOUT):
        """The next host command line whose command is `word` (bytes), its prefix and word removed."""
        head = PREFIX + word
        line = self.next_line(timeout, lambda l: l.startswith(head + b" ") or l == head)
        return line[len(head) + 1:]

    def quiet(self, seconds):
        """Every line that arrives within `seconds`."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            self._read(deadline - time.monotonic())
        lines, self._pending = self._pending, []
        return lines


class WNode:
    """A scripted W node (W-2.81) called `host`, listening on 127.0.0.1 for a
    neighbour that dials it, with its own `users` on channel 0. As a real W
    node does, it keeps the users it learns over the link with their numbers
    and ignores a USER whose number does not grow; when the link is lost it
    raises by one the number of every user it learnt over it, forgets them,
    and at the next link-up tells the neighbour of the neighbour's own users
    with those numbers and channels -1 -1; it sends its users' lines only
    while the neighbour has users on their channel; it drops a CMSG identical
    to one of the last 30 minutes, marks its own users' repeats with 0xA0 and
    a counter, and strips such a mark before its users see a line (`heard`).
    Runs in a thread of its own."""

    SOFTWARE = b"W-2.81"

    def __init__(self, host=b"wam1", users=(b"xx1ali",)):
        self.host = host
        self.users = list(users)
        self._listener = socket.socket()
        self._listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._listener.bind(("127.0.0.1", 0))
        self._listener.listen(4)
        self.port = self._listener.getsockname()[1]
        self._lock = threading.Lock()
        self._known = {}      # (name, host) -> [number, channel] of users learnt over the link
        self._neighbour = None
        self._seen = {}       # (name, channel, text) -> when a CMSG came
        self._said = {}       # (user, text) -> how often our user said it
        self._outbox = []
        self.heard = []       # (name, text) as its users see the neighbour's lines
        self.links = 0        # how many times the link came up
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def close(self):
        self._stop.set()
        self._thread.join(DEFAULT_TIMEOUT)
        self._listener.close()

    def say(self, user, text):
        """Our user says a line on channel 0, as W sends it (or does not)."""
        with self._lock:
            self._outbox.append((user, text))

    def knows(self, name):
        with self._lock:
            return any(n == name and entry[1] >= 0 for (n, _), entry in self._known.items())

    def wait_for_heard(self, text, count=1):
        wait_until(lambda: sum(1 for _, t in self.heard if t == text) >= count, what="%r heard on the W node" % text)

    def _serve(self):
        conn, buffer, up = None, b"", False
        while not self._stop.is_set():
            watched = [self._listener] + ([conn] if conn else [])
            readable, _, _ = select.select(watched, [], [], 0.05)
            if self._listener in readable:
                if conn:
                    conn.close()
                conn, _ = self._listener.accept()
                buffer, up = b"", False
            if conn and conn in readable:
                try:
                    data = conn.recv(65536)
                except OSError:
                    data = b""
                if not data:
                    conn.close()
                    conn = None
                    self._lost()
                    continue
                buffer += data.replace(b"\r", b"\n")
                while b"\n" in buffer:
                    line, buffer = buffer.split(b"\n", 1)
                    if line.startswith(PREFIX):
                        up = self._line(conn, line[len(PREFIX):], up)
            if conn and up:
                self._flush(conn)
        if conn:
            conn.close()

    def _send(self, conn, command):
        conn.sendall(PREFIX + command + b"\n")

    def _lost(self):
        with self._lock:
            for entry in self._known.values():
                if entry[1] >= 0:
                    entry[0] += 1
                    entry[1] = -1

    def _line(self, conn, line, up):
        word, _, args = line.partition(b" ")
        word = word.upper()
        if word == b"HOST" and not up:
            self._neighbour = args.split(b" ")[0]
            self.links += 1
            self._send(conn, b"HOST " + self.host + b" " + self.SOFTWARE + b" dpu")
            with self._lock:
                for (name, host), (number, _) in self._known.items():
                    if host == self._neighbour:
                        self._send(conn, b"USER %s %s %d -1 -1 " % (name, host, number))
            for user in self.users:
                self._send(conn, b"USER %s %s %d -1 0 @" % (user, self.host, int(time.time())))
            self._send(conn, b"PING")
            return True
        if word == b"USER":
            fields = args.split(b" ")
            key, number, channel = (fields[0], fields[1]), int(fields[2]), int(fields[4])
            with self._lock:
                entry = self._known.get(key)
                if entry is None or number > entry[0]:
                    self._known[key] = [number, channel]
        elif word == b"CMSG":
            name, channel, text = args.split(b" ", 2)
            now = time.monotonic()
            if now - self._seen.get((name, channel, text), -1e9) < 1800:
                return up
            self._seen[(name, channel, text)] = now
            mark = text.rfind(b"\xa0")
            if mark > 0 and text[mark + 1:].isdigit():
                text = text[:mark]
            self.heard.append((name, text))
        elif word == b"PING":
            self._send(conn, b"PONG 0")
        return up

    def _flush(self, conn):
        with self._lock:
            outbox, self._outbox = self._outbox, []
            listening = any(entry[1] == 0 for entry in self._known.values())
        for user, text in outbox:
            repeats = self._said.get((user, text), 0)
            self._said[(user, text)] = repeats + 1
            if listening:
                self._send(conn, b"CMSG %s 0 %s" % (user, text + (b"\xa0%d" % repeats if repeats else b"")))
