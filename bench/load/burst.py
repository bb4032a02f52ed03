#!/usr/bin/env python3
"""Bursts against a slow engine: the real server behind an engine that reads
at a fixed rate (5 MB/s by default), on 127.0.0.1.

  1. N stations (2,000) connect in one write: each is welcomed and announced
     to every station already in Root (about 150 MB of output for 2,000).
  2. Half of them leave in one write: every one that stays hears each leave.
  3. 100 of those that stay join area 1; one of them sends one frame of
     32,767 lines: each of the other 99 gets every line.

Every count is checked exactly; the link must never break. Meanwhile two
stations outside the burst, in the same area, take ten samples of how long
one's line takes to reach the other. It prints, per phase, the time, the
bytes the engine read, the server's peak resident memory, and the samples'
median and largest latency. Usage: burst.py PALAVORO_BINARY [--stations 2000]
[--rate 5e6]
"""

import argparse
import os
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tests", "integration"))
import agwpeer  # noqa: E402
from agwpeer import AgwPeer, PalavoroRun, encode_frame, ini_text  # noqa: E402

SERVER = "N0SRV"
LINES = 32767
AREA_SIZE = 100
SPEAKER, LISTENER = "N9SPK", "N9LSN"
SAMPLES = 10


def call(i):
    return "N%05d" % i


class SlowEngine:
    """Reads the server's frames at `rate` bytes per second and counts them."""

    def __init__(self, peer, rate, run):
        self.peer, self.rate, self.run = peer, rate, run
        self.buffer = bytearray()
        self.read = 0
        self.counts = {}  # (call, what) -> frames
        self.disconnects = 0
        self.peak_rss = 0
        self.probe_sent = {}  # probe number -> when its line was sent
        self.latencies = []

    def count(self, to, what):
        key = (to, what)
        self.counts[key] = self.counts.get(key, 0) + 1

    def total(self, what, calls):
        return sum(self.counts.get((c, what), 0) for c in calls)

    def parse(self):
        buf, pos, end = self.buffer, 0, len(self.buffer)
        while end - pos >= 36:
            length = int.from_bytes(buf[pos + 28:pos + 32], "little")
            if end - pos < 36 + length:
                break
            kind = buf[pos + 4]
            if kind == 0x44:  # "D"
                to = bytes(buf[pos + 18:pos + 28]).rstrip(b"\0").decode()
                data = bytes(buf[pos + 36:pos + 36 + length])
                if to == LISTENER and b"<%s@" % SPEAKER.encode() in data and b"> probe " in data:
                    number = int(data.rsplit(b" ", 1)[1])
                    self.latencies.append(time.monotonic() - self.probe_sent.pop(number))
                elif data.endswith(b"> x\r\r"):
                    self.count(to, "line")
                elif data.endswith(b" joined Area>\r\r"):
                    self.count(to, "joined")
                elif data.endswith(b" left Area>\r\r"):
                    self.count(to, "left")
                elif data.startswith(b"Welcome to the"):
                    self.count(to, "welcome")
                elif data.startswith(b"\r[1]{"):
                    self.count(to, "prompt1")
            elif kind == 0x64:  # "d"
                self.disconnects += 1
            pos += 36 + length
        del buf[:pos]

    def rss(self):
        with open("/proc/%d/status" % self.run.pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) * 1024
        return 0

    def until(self, done, timeout, probe_every=None):
        """Reads at the rate until done() holds; the link must stay up. With
        probe_every, the speaker says a numbered line that often, one at a
        time, until SAMPLES of them have reached the listener."""
        conn = self.peer.conn
        conn.setblocking(False)
        start = time.monotonic()
        allowed, last, last_rss = 0.0, start, 0.0
        self.latencies, next_probe, number = [], start, 0
        while not done() or (probe_every and len(self.latencies) < SAMPLES):
            now = time.monotonic()
            if now - start > timeout:
                raise TimeoutError("not done after %.0f s" % timeout)
            allowed = min(allowed + (now - last) * self.rate, self.rate / 10)
            last = now
            if now - last_rss > 0.2:
                self.peak_rss = max(self.peak_rss, self.rss())
                last_rss = now
            if probe_every and not self.probe_sent and len(self.latencies) < SAMPLES and now >= next_probe:
                number += 1
                self.probe_sent[number] = now
                self.peer.send_raw(encode_frame("D", 0, 0xF0, SPEAKER, SERVER, b"probe %d\r" % number))
                next_probe = now + probe_every
            if allowed < 4096:
                time.sleep(0.005)
                continue
            try:
                data = conn.recv(min(int(allowed), 1 << 16))
            except BlockingIOError:
                time.sleep(0.002)
                continue
            if not data:
                raise RuntimeError("the server closed the link")
            allowed -= len(data)
            self.read += len(data)
            self.buffer += data
            self.parse()
        return time.monotonic() - start


def send_in_background(peer, frames):
    """One write of many frames, while the main thread goes on reading."""
    data = b"".join(frames)
    thread = threading.Thread(target=peer.conn.sendall, args=(data,))
    thread.start()
    return thread


def main():
    args = argparse.ArgumentParser()
    args.add_argument("binary")
    args.add_argument("--stations", type=int, default=2000)
    args.add_argument("--rate", type=float, default=5e6)
    options = args.parse_args()
    os.environ["PALAVORO_BIN"] = os.path.abspath(options.binary)
    n = options.stations
    calls = [call(i) for i in range(n)]
    stay, leave = calls[: n // 2], calls[n // 2:]
    ini = ini_text({"PALAVORO": {"CALLSIGN": SERVER, "TIMEOUT": 0, "DISCWAIT": 0, "TRACE": int(os.environ.get("BURST_TRACE", "1"))}, "AREAS": ["1=Big"]})
    with AgwPeer() as peer:
        # A small receive buffer: the kernel must not hide how slowly the engine reads.
        peer._listener.setsockopt(agwpeer.socket.SOL_SOCKET, agwpeer.socket.SO_RCVBUF, 1 << 17)
        ini = ini.replace("CALLSIGN", "TCP_PORT=%d\r\nCALLSIGN" % peer.port)
        with PalavoroRun(ini) as run:
            peer.accept()
            peer.serve_startup()
            engine = SlowEngine(peer, options.rate, run)
            time.sleep(0.5)
            idle_rss = engine.rss()
            print("stations %d, engine reads %.1f MB/s, server idle %.1f MB" % (n, options.rate / 1e6, idle_rss / 1e6))

            def report(name, seconds, before):
                lat = sorted(engine.latencies)
                print("%-34s %6.1f s  %7.1f MB read  peak RSS %6.1f MB  line latency median %5.2f s, max %5.2f s"
                      % (name, seconds, (engine.read - before) / 1e6, engine.peak_rss / 1e6,
                         lat[len(lat) // 2] if lat else -1, lat[-1] if lat else -1))

            # The two stations that sample the latency, outside the burst.
            for c in (SPEAKER, LISTENER):
                peer.send_raw(encode_frame("C", 0, 0, c, SERVER, b"*** CONNECTED To Station %s\r\0" % c.encode()))
            engine.until(lambda: engine.total("welcome", [SPEAKER, LISTENER]) == 2, 60)

            before = engine.read
            sender = send_in_background(peer, [encode_frame("C", 0, 0, c, SERVER, b"*** CONNECTED To Station %s\r\0" % c.encode()) for c in calls])
            joins = n * (n - 1) // 2
            seconds = engine.until(lambda: engine.total("joined", calls) == joins and
                                   engine.total("welcome", calls) == n, 600, probe_every=1.0)
            sender.join()
            for i, c in enumerate(calls):
                assert engine.counts.get((c, "joined"), 0) == n - 1 - i, c
            report("%d connect in one write" % n, seconds, before)

            before = engine.read
            sender = send_in_background(peer, [encode_frame("d", 0, 0, c, SERVER, b"*** DISCONNECTED From Station %s\r\0" % c.encode()) for c in leave])
            seconds = engine.until(lambda: engine.total("left", stay) == len(stay) * len(leave), 600, probe_every=1.0)
            sender.join()
            assert all(engine.counts.get((c, "left"), 0) == len(leave) for c in stay)
            report("%d leave in one write" % len(leave), seconds, before)

            area = stay[:AREA_SIZE]
            for c in (SPEAKER, LISTENER):
                peer.send_raw(encode_frame("D", 0, 0xF0, c, SERVER, b"/J 1\r"))
            before = engine.read
            sender = send_in_background(peer, [encode_frame("D", 0, 0xF0, c, SERVER, b"/J 1\r") for c in area])
            engine.until(lambda: engine.total("prompt1", area) == len(area), 600)
            sender.join()
            peer.conn.setblocking(True)
            sender = send_in_background(peer, [encode_frame("D", 0, 0xF0, area[0], SERVER, b"x\r" * LINES)])
            seconds = engine.until(lambda: engine.total("line", area[1:]) == LINES * (len(area) - 1) and
                                   engine.total("prompt1", area) == len(area) + LINES, 600, probe_every=1.0)
            sender.join()
            assert all(engine.counts.get((c, "line"), 0) == LINES for c in area[1:])
            report("one frame of %d lines to %d" % (LINES, len(area)), seconds, before)

            assert engine.disconnects == 0, "a station was refused or sent away"
            log = open(os.path.join(run.workdir, "Palavoro.LOG"), encoding="latin-1").read()
            assert "broken" not in log and "lost" not in log, "the link broke"
            assert run.running()
            print("every station welcomed and announced, every line delivered, no link break")


if __name__ == "__main__":
    main()
