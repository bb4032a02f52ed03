"""Helpers for the end-to-end tests over Dire Wolf engines on the simulated radio channel.

    with Air(nodes=2) as air:                       # air-up in a temporary directory
        station = Station(air.port(0), "N0SRV")     # palavoro on node 0, SIGTERM by PID at stop()
        station.start(); station.wait_registered()
        user = RecordingClient(air.port(1), timeout=WAIT)

    Air(nodes=3, channels={0: [0, 1], 2: [1]})      # node 0 has two radio channels: Dire Wolf's
                                                    # channel 0 with node 1, channel 1 with node 2
    air.stop_node(0); air.start_node(0)             # node 0's Dire Wolf stopped by its PID, then again

Air and Station record the PIDs they start; `pids_alive()` says which are still alive.
"""

import os
import queue
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
import uuid

SOURCE = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
TOOLS = os.path.join(SOURCE, "tools")
AIR = os.path.join(TOOLS, "air")
sys.dont_write_bytecode = True
for path in (TOOLS, AIR):
    if path not in sys.path:
        sys.path.insert(0, path)

import airctl  # noqa: E402
from agwclient import AGWClient, AGWError  # noqa: E402

HAVE_DIREWOLF = shutil.which("direwolf") is not None
NO_DIREWOLF = "direwolf is not installed (apt-get install direwolf); the simulated channel needs it"
# Everything over the air gets generous time: a loaded machine slows the channel.
WAIT = 60.0


def free_base_ports(nodes=2, first=18010, last=19010):
    for base in range(first, last, 100):
        if all(airctl.port_free(base + i) for i in range(nodes)):
            yield base


def free_base_port(nodes=2, first=18010):
    for base in free_base_ports(nodes, first, first + 1000):
        return base
    raise unittest.SkipTest("no free ports for the channel between %d and %d" % (first, first + 1000))


def run_tool(name, *args, env=None):
    return subprocess.run([sys.executable, os.path.join(AIR, name), *args], capture_output=True, text=True,
                          timeout=120, env=env)


def read_lines(stream, into):
    for line in iter(stream.readline, b""):
        into.put(line)
    into.put(None)


def wait_line(lines, text, timeout=WAIT, seen=None):
    """Reads lines from the queue until one holds text; returns the lines read (also added to seen)."""
    got = []
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            line = lines.get(timeout=max(0.01, deadline - time.monotonic()))
        except queue.Empty:
            break
        if line is None:
            break
        got.append(line)
        if seen is not None:
            seen.append(line)
        if text in line:
            return got
    raise AssertionError("no %r in time; got %r" % (text, got))


def pids_alive(pids):
    return [pid for pid in pids if airctl.alive(pid)]


class Air:
    """A simulated channel in a fresh temporary directory, on the first free ports from first_port on
    (base ports first_port + 100 k). `channels` maps a node to the simulated channels of its radio
    channels (air-up --channels); the other nodes are on channel 0."""

    def __init__(self, nodes=2, rate=1200, first_port=18010, channels=None):
        self.nodes = nodes
        self.first_port = first_port
        self.rate = rate
        self.channels = ["--channels=%d=%s" % (node, ",".join(map(str, airs)))
                         for node, airs in sorted((channels or {}).items())]
        self.directory = tempfile.mkdtemp(prefix="air-")
        self.base = None
        self.pids = []

    def __enter__(self):
        return self.up()

    def __exit__(self, *exc):
        self.down()
        self.cleanup()

    def up(self):
        # Another test may take the ports between the check and Dire Wolf's bind.
        result = None
        for attempt, base in enumerate(free_base_ports(self.nodes, self.first_port, self.first_port + 1000)):
            result = run_tool("air-up", self.directory, "--nodes", str(self.nodes), "--base-port", str(base),
                              "--rate", str(self.rate), *self.channels)
            if result.returncode == 0:
                self.base = base
                break
            if attempt == 2:
                break
        if result is None:
            raise unittest.SkipTest("no free ports for the channel from %d on" % self.first_port)
        if result.returncode != 0:
            raise AssertionError("air-up failed: " + result.stderr.strip())
        self.pids = [pid for pid, _ in airctl.read_pids(self.directory)]
        return self

    def port(self, node):
        return self.base + node

    def stop_node(self, node):
        """Stops the node's Dire Wolf by its recorded PID (air-node stop); the channel runs on."""
        result = run_tool("air-node", self.directory, "stop", str(node))
        if result.returncode != 0:
            raise AssertionError("air-node stop failed: " + result.stderr.strip())

    def start_node(self, node):
        """Starts the node's Dire Wolf again (air-node start); returns once its AGW port accepts connections."""
        result = run_tool("air-node", self.directory, "start", str(node))
        if result.returncode != 0:
            raise AssertionError("air-node start failed: " + result.stderr.strip())
        self.pids += [pid for pid, _ in airctl.read_pids(self.directory) if pid not in self.pids]

    def down(self):
        """air-down; returns its result (None when the channel was not up)."""
        if self.base is None or not os.path.exists(os.path.join(self.directory, "pids")):
            return None
        return run_tool("air-down", self.directory)

    def cleanup(self):
        shutil.rmtree(self.directory, ignore_errors=True)


class Station:
    """The palavoro program in a fresh temporary working directory, talking to an AGW engine on 127.0.0.1."""

    def __init__(self, agw_port, callsign, settings=None, files=None):
        self.callsign = callsign
        self.root = tempfile.mkdtemp(prefix="palavoro-e2e-")
        self.workdir = os.path.join(self.root, "station")
        os.makedirs(self.workdir)
        ini = {"IP_ADDRESS": "127.0.0.1", "TCP_PORT": agw_port, "CALLSIGN": callsign, "CREATEAREA": "YES",
               "DEBUG": "YES", "TRACE": 3}
        ini.update(settings or {})
        self.write("Palavoro.INI", "[PALAVORO]\r\n" + "".join("%s=%s\r\n" % kv for kv in ini.items()))
        for name, content in (files or {}).items():
            self.write(name, content)
        self.env = dict(os.environ, LC_ALL="C", PALAVORO_INSTANCE="palavoro-e2e-" + uuid.uuid4().hex)
        for name in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"):
            self.env.pop(name, None)
        self.process = None

    def write(self, name, content):
        path = os.path.join(self.workdir, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(content.encode("latin-1") if isinstance(content, str) else content)

    @staticmethod
    def binary():
        path = os.environ.get("PALAVORO_BIN")
        if not path:
            raise unittest.SkipTest("PALAVORO_BIN names the palavoro program to test (CTest sets it)")
        return path

    def start(self):
        with open(os.path.join(self.root, "stderr.txt"), "wb") as err:
            self.process = subprocess.Popen([self.binary()], cwd=self.workdir, env=self.env,
                                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err)
        return self

    @property
    def pid(self):
        return self.process.pid

    def stderr(self):
        try:
            with open(os.path.join(self.root, "stderr.txt"), "rb") as f:
                return f.read().decode("latin-1")
        except OSError:
            return ""

    def log_lines(self):
        try:
            with open(os.path.join(self.workdir, "Palavoro.LOG"), "rb") as f:
                raw = f.read().decode("latin-1")
        except FileNotFoundError:
            return []
        return [line.split(" ", 2)[2] for line in raw.split("\r\n") if line.count(" ") >= 2 and line[0] != " "]

    def wait_for_log(self, text, timeout=WAIT):
        deadline = time.monotonic() + timeout
        while True:
            lines = self.log_lines()
            if text in lines:
                return lines
            if self.process.poll() is not None:
                raise AssertionError("palavoro ended (status %s) before tracing %r; stderr %r; trace %r"
                                     % (self.process.returncode, text, self.stderr(), lines[-10:]))
            if time.monotonic() >= deadline:
                raise AssertionError("no trace line %r within %.0f s; trace %r" % (text, timeout, lines[-10:]))
            time.sleep(0.1)

    def wait_registered(self, timeout=WAIT):
        return self.wait_for_log("{PALAVORO} Registered <%s> rc(1)" % self.callsign, timeout)

    def stop(self, timeout=30.0):
        """SIGTERM by PID, then the exit status (SIGKILL and None when it does not end in time)."""
        if self.process is None:
            return None
        if self.process.poll() is None:
            os.kill(self.process.pid, signal.SIGTERM)
            try:
                return self.process.wait(timeout)
            except subprocess.TimeoutExpired:
                os.kill(self.process.pid, signal.SIGKILL)
                self.process.wait(10)
                return None
        return self.process.returncode

    def cleanup(self):
        shutil.rmtree(self.root, ignore_errors=True)


class RecordingClient(AGWClient):
    """An AGW client that also keeps, in arrival order, every connected-data and notice frame ("D", "C", "d")."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.events = []

    def _note(self, frame):
        if frame.kind in "DCd":
            self.events.append(frame)
        super()._note(frame)

    def transcript(self, remote):
        """What the station sent, with its connect and disconnect notices as "<C>" and "<d>" in their places."""
        parts = []
        for frame in self.events:
            if frame.call_from != remote:
                continue
            parts.append(frame.data if frame.kind == "D" else b"<" + frame.kind.encode() + b">")
        return b"".join(parts)


class AirTestCase(unittest.TestCase):
    """A fresh channel for each test (NODES nodes, CHANNELS as for Air, ports from FIRST_PORT on),
    the server on node 0 once serve() is called and radio users from user(). tearDown stops the
    server (SIGTERM by PID) and the channel, and checks that everything started has ended."""

    NODES = 2
    CHANNELS = None
    FIRST_PORT = 18010
    SERVER = "N0SRV"

    def setUp(self):
        if not HAVE_DIREWOLF:
            self.skipTest(NO_DIREWOLF)
        self.started = time.monotonic()
        self.clients = []
        self.station = None
        self.air = Air(nodes=self.NODES, first_port=self.FIRST_PORT, channels=self.CHANNELS)
        self.addCleanup(self.air.cleanup)
        self.air.up()

    def tearDown(self):
        for client in self.clients:
            client.close()
        status = self.station.stop() if self.station else None
        down = self.air.down()
        started = self.air.pids + ([self.station.pid] if self.station and self.station.process else [])
        left = pids_alive(started)
        if self.station:
            self.station.cleanup()
        print("\n  %s: %.1f s" % (self.id().rsplit(".", 1)[-1], time.monotonic() - self.started), file=sys.stderr)
        self.assertEqual(left, [], "processes left running")
        if self.station:
            self.assertEqual(status, 0, "palavoro did not end with status 0 on SIGTERM")
        self.assertIsNotNone(down)
        self.assertEqual(down.returncode, 0, down.stderr)

    def serve(self, **settings):
        self.station = Station(self.air.port(0), self.SERVER, settings).start()
        self.station.wait_registered()

    def user(self, node, call, timeout=WAIT):
        """A radio user on the node, connected to the server (a failed connect fails the test)."""
        client = RecordingClient(self.air.port(node), timeout=WAIT)
        self.clients.append(client)
        client.register(call)
        try:
            client.connect(call, self.SERVER, timeout=timeout)
        except AGWError as e:
            self.fail("%s on node %d: %s" % (call, node, e))
        return client

    def prompt(self, call, area=0):
        return b"\r[%d]{%s de %s}:\r" % (area, call.encode(), self.SERVER.encode())

    def welcome(self, call):
        return b"Welcome to the %s Chat Server\r" % self.SERVER.encode() + self.prompt(call)
