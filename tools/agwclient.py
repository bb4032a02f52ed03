"""A small AGW (AGWPE application interface) client for test scripts and agwterm.

One AGWClient is one TCP connection to an AGW engine, i.e. one radio user.
Frames are a 36-byte header (radio port at 0, kind at 4, PID at 6, the two
callsigns at 8 and 18, little-endian data length at 28) followed by the data.

    srv = AGWClient(8010); usr = AGWClient(8011)
    srv.register("N0SRV"); usr.register("N0USR")
    usr.connect("N0USR", "N0SRV"); srv.wait_connect("N0USR")
    usr.send_line("N0USR", "N0SRV", "hello")
    srv.wait_data("N0USR", until=b"\\r")
    usr.disconnect("N0USR", "N0SRV")

Frames nobody has waited for yet are kept in order; connected data is gathered
per remote callsign in `data`.
"""

import collections
import select
import socket
import struct
import time

HEADER = struct.Struct("<B3xcxBx10s10sI4x")
HEADER_SIZE = HEADER.size
PID_TEXT = 0xF0
# Largest data part accepted from the engine; a longer length means the stream is
# garbage and reading on would only swallow memory.
MAX_DATA = 1 << 20
# Text per "D" frame; the engine cuts it into I frames of its own PACLEN anyway.
CHUNK = 256

Frame = collections.namedtuple("Frame", "port kind pid call_from call_to data")


class AGWError(Exception):
    pass


def _call(value):
    if isinstance(value, str):
        value = value.encode("ascii")
    return value[:10]


def _text(field):
    return field.split(b"\0", 1)[0].decode("ascii", errors="replace")


def encode(kind, port=0, pid=0, call_from="", call_to="", data=b""):
    """One frame as bytes; kind is a one-letter str, callsigns str or bytes (cut to 10)."""
    if isinstance(data, str):
        data = data.encode("latin-1")
    return HEADER.pack(port, kind.encode("ascii"), pid, _call(call_from), _call(call_to), len(data)) + bytes(data)


def decode(buffer):
    """Cuts the first frame off buffer: returns (Frame, bytes consumed), or (None, 0) while incomplete."""
    if len(buffer) < HEADER_SIZE:
        return None, 0
    port, kind, pid, call_from, call_to, length = HEADER.unpack_from(buffer)
    if length > MAX_DATA:
        raise AGWError("frame announces %d data bytes" % length)
    end = HEADER_SIZE + length
    if len(buffer) < end:
        return None, 0
    frame = Frame(port, kind.decode("latin-1"), pid, _text(call_from), _text(call_to), bytes(buffer[HEADER_SIZE:end]))
    return frame, end


class FrameReader:
    """Reassembles frames from a byte stream however it was split."""

    def __init__(self):
        self.buffer = bytearray()

    def feed(self, data):
        self.buffer += data
        frames = []
        offset = 0
        while True:
            frame, used = decode(memoryview(self.buffer)[offset:])
            if frame is None:
                break
            frames.append(frame)
            offset += used
        del self.buffer[:offset]
        return frames


class AGWClient:
    def __init__(self, port, host="127.0.0.1", timeout=20.0, radio_port=0):
        self.timeout = timeout
        self.radio_port = radio_port
        self.sock = socket.create_connection((host, port), timeout=timeout)
        self.sock.setblocking(False)
        self.reader = FrameReader()
        self.frames = collections.deque()
        self.data = collections.defaultdict(bytearray)
        self.connected = set()
        self.closed = False

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def fileno(self):
        return self.sock.fileno()

    def close(self):
        if not self.closed:
            self.closed = True
            self.sock.close()

    def send_frame(self, kind, port=None, pid=0, call_from="", call_to="", data=b""):
        frame = encode(kind, self.radio_port if port is None else port, pid, call_from, call_to, data)
        self.sock.setblocking(True)
        try:
            self.sock.sendall(frame)
        finally:
            self.sock.setblocking(False)

    def pump(self, timeout=0.0):
        """Reads what arrives within timeout seconds; returns the frames received (also queued)."""
        if self.closed:
            raise AGWError("connection to the AGW engine is closed")
        ready, _, _ = select.select([self.sock], [], [], max(0.0, timeout))
        if not ready:
            return []
        try:
            chunk = self.sock.recv(65536)
        except BlockingIOError:
            return []
        except OSError as e:
            self.close()
            raise AGWError("AGW connection failed: %s" % e) from e
        if not chunk:
            self.close()
            raise AGWError("the AGW engine closed the connection")
        frames = self.reader.feed(chunk)
        for frame in frames:
            self._note(frame)
        return frames

    def _note(self, frame):
        if frame.kind == "D":
            self.data[frame.call_from] += frame.data
            return
        if frame.kind == "C":
            self.connected.add(frame.call_from)
        elif frame.kind == "d":
            self.connected.discard(frame.call_from)
        self.frames.append(frame)

    def wait(self, kind, call_from=None, match=None, timeout=None):
        """The first queued or arriving frame whose kind is one of the letters in kind, from call_from
        (None: anyone) and satisfying match; AGWError on timeout."""
        limit = self.timeout if timeout is None else timeout
        deadline = time.monotonic() + limit
        while True:
            for frame in self.frames:
                if frame.kind in kind and call_from in (None, frame.call_from) and (match is None or match(frame)):
                    self.frames.remove(frame)
                    return frame
            left = deadline - time.monotonic()
            if left <= 0:
                source = " from " + call_from if call_from else ""
                raise AGWError("no '%s' frame%s within %.0f s" % (kind, source, limit))
            self.pump(left)

    def register(self, call):
        self.send_frame("X", port=self.radio_port, call_from=call)
        answer = self.wait("X", match=lambda f: f.call_from in ("", call))
        if not answer.data or answer.data[0] != 1:
            raise AGWError("the engine refused to register %s" % call)

    def monitor(self, on=True):
        """Monitored frames ('U', 'I', 'S', 'T'); "m" is a toggle, so send it once per connection."""
        if on:
            self.send_frame("m")

    def connect(self, mycall, remote, timeout=None):
        """Connects mycall to remote over the air; returns the seconds it took."""
        start = time.monotonic()
        self.send_frame("C", call_from=mycall, call_to=remote)
        notice = self.wait("Cd", remote, timeout=timeout)
        if notice.kind != "C":
            raise AGWError("connect to %s failed: %s" % (remote, notice_text(notice)))
        return time.monotonic() - start

    def wait_connect(self, remote=None, timeout=None):
        """Waits for a station's connection (remote None: any); returns the 'C' notice."""
        return self.wait("C", remote, timeout=timeout)

    def send_data(self, mycall, remote, text, pid=PID_TEXT):
        if isinstance(text, str):
            text = text.encode("latin-1")
        for i in range(0, len(text), CHUNK):
            self.send_frame("D", pid=pid, call_from=mycall, call_to=remote, data=text[i : i + CHUNK])

    def send_line(self, mycall, remote, line):
        if isinstance(line, str):
            line = line.encode("latin-1")
        self.send_data(mycall, remote, line + b"\r")

    def send_unproto(self, mycall, dest, text, pid=PID_TEXT):
        self.send_frame("M", pid=pid, call_from=mycall, call_to=dest, data=text)

    def wait_data(self, remote, until=b"\r", timeout=None):
        """Connected data from remote up to and including the marker (taken from `data`)."""
        deadline = time.monotonic() + (self.timeout if timeout is None else timeout)
        was_connected = remote in self.connected
        while True:
            buffer = self.data[remote]
            at = buffer.find(until)
            if at >= 0:
                end = at + len(until)
                text = bytes(buffer[:end])
                del buffer[:end]
                return text
            if was_connected and remote not in self.connected:
                raise AGWError("%s disconnected before sending %r (got %r)" % (remote, until, bytes(buffer)))
            left = deadline - time.monotonic()
            if left <= 0:
                raise AGWError("no %r from %s in time (got %r)" % (until, remote, bytes(buffer)))
            self.pump(left)

    def outstanding(self, mycall, remote, timeout=None):
        """Frames of this connection not yet sent or acknowledged ('Y')."""
        self.send_frame("Y", call_from=mycall, call_to=remote)
        answer = self.wait("Y", match=lambda f: f.call_to in ("", remote) or f.call_from == remote, timeout=timeout)
        if len(answer.data) < 4:
            return 0
        return struct.unpack_from("<I", answer.data)[0]

    def wait_sent(self, mycall, remote, timeout=None):
        """Waits until everything sent on the connection is acknowledged (the engine drops what is
        still queued when asked to disconnect)."""
        deadline = time.monotonic() + (self.timeout if timeout is None else timeout)
        while remote in self.connected:
            if self.outstanding(mycall, remote, timeout=max(0.1, deadline - time.monotonic())) == 0:
                return True
            if time.monotonic() >= deadline or remote not in self.connected:
                return False
            self.pump(0.2)
        return False

    def disconnect(self, mycall, remote, timeout=None):
        """Ends the connection and waits for the engine's 'd' notice; returns it."""
        self.send_frame("d", call_from=mycall, call_to=remote)
        return self.wait("d", remote, timeout=timeout)


def notice_text(frame):
    return frame.data.split(b"\0", 1)[0].decode("latin-1").strip()
