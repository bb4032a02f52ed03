#!/usr/bin/env python3
"""Simulated radio channels shared by several Dire Wolf nodes.

Each node writes its transmit audio (raw signed 16-bit little-endian) into
DIR/nodeI.tx and reads its receive audio from DIR/nodeI.rx (its stdin). A node
has one radio channel (mono audio) or two (stereo: Dire Wolf's channel 0 left,
1 right), and each of its radio channels is on one simulated channel. Every
simulated channel plays each transmission to the other radios on it at
real-time pace, feeds silence while nobody transmits so that carrier detect
drops, sums overlapping transmissions (a collision garbles both), and keeps a
radio deaf while it transmits itself.

Started by air-up; stops cleanly on SIGTERM or SIGINT and logs its totals.
"""

import argparse
import array
import fcntl
import os
import select
import signal
import sys
import time

TICK = 0.010
SAMPLE_BYTES = 2
# Longest stretch the channel makes up at once after the machine stalled it;
# anything beyond is dropped rather than fed to the nodes in a rush.
MAX_CATCH_UP = 0.2
# Receive audio a node may leave unread before the oldest is dropped.
MAX_PENDING_SECONDS = 2.0
PIPE_SIZE = 1 << 20


def stamp():
    now = time.time()
    return time.strftime("%H:%M:%S", time.localtime(now)) + ".%03d" % int((now % 1) * 1000)


class Log:
    def __init__(self, path):
        self.file = open(path, "a", buffering=1) if path else sys.stderr

    def __call__(self, text):
        self.file.write("%s %s\n" % (stamp(), text))


def grow_pipe(fd):
    try:
        fcntl.fcntl(fd, fcntl.F_SETPIPE_SZ, PIPE_SIZE)
    except (AttributeError, OSError):
        pass


def samples_of(data):
    samples = array.array("h", data)
    if sys.byteorder == "big":
        samples.byteswap()
    return samples


def bytes_of(samples):
    if sys.byteorder == "big":
        samples = array.array("h", samples)
        samples.byteswap()
    return samples.tobytes()


def attenuate(data):
    """Quarter amplitude: Dire Wolf transmits about four times louder than it likes to
    receive, and says so on every frame it hears."""
    return bytes_of(array.array("h", [s >> 2 for s in samples_of(data)]))


def mix(chunks):
    """Sum 16-bit sample blocks with clipping; only needed while bursts overlap."""
    acc = [0] * (len(chunks[0]) // SAMPLE_BYTES)
    for chunk in chunks:
        for i, s in enumerate(samples_of(chunk)):
            acc[i] += s
    return bytes_of(array.array("h", [32767 if s > 32767 else (-32768 if s < -32768 else s) for s in acc]))


def interleave(chunks):
    """Stereo frames from one block per side."""
    sides = [samples_of(chunk) for chunk in chunks]
    frames = array.array("h", bytes(len(chunks[0]) * len(chunks)))
    for side, samples in enumerate(sides):
        frames[side :: len(sides)] = samples
    return bytes_of(frames)


class Radio:
    """One radio channel of a node: what it has to transmit, and its state on its simulated channel."""

    def __init__(self, node, name, air):
        self.node = node
        self.name = name
        self.air = air
        self.queue = bytearray()
        self.on_air_since = None
        self.burst_bytes = 0

    def take(self, nbytes):
        chunk = bytes(self.queue[:nbytes])
        del self.queue[:nbytes]
        if len(chunk) < nbytes:
            chunk += bytes(nbytes - len(chunk))
        return chunk


class Node:
    def __init__(self, index, directory, rate, airs):
        self.index = index
        self.name = "node%d" % index
        tx_path = os.path.join(directory, self.name + ".tx")
        rx_path = os.path.join(directory, self.name + ".rx")
        # The second descriptor on each FIFO keeps it from reporting end of file
        # (tx) or refusing the open (rx) while Dire Wolf has not opened its end yet.
        self.tx = os.open(tx_path, os.O_RDONLY | os.O_NONBLOCK)
        self.tx_keep = os.open(tx_path, os.O_WRONLY | os.O_NONBLOCK)
        self.rx = os.open(rx_path, os.O_RDWR | os.O_NONBLOCK)
        grow_pipe(self.tx)
        grow_pipe(self.rx)
        if len(airs) == 1:
            self.radios = [Radio(self, self.name, airs[0])]
        else:
            self.radios = [Radio(self, "%s/%d" % (self.name, side), air) for side, air in enumerate(airs)]
        self.frame_bytes = SAMPLE_BYTES * len(self.radios)
        # A block of a side that is all zeros is not transmitted: Dire Wolf keys up one
        # channel of a stereo device at a time and writes silence to the other.
        self.block = max(1, int(rate * TICK))
        self.raw = bytearray()
        self.pending = bytearray()
        self.max_pending = int(rate * MAX_PENDING_SECONDS) * self.frame_bytes
        self.overflowed = False

    def close(self):
        for fd in (self.tx, self.tx_keep, self.rx):
            try:
                os.close(fd)
            except OSError:
                pass

    def read_tx(self):
        while True:
            try:
                data = os.read(self.tx, 65536)
            except BlockingIOError:
                break
            if not data:
                break
            self.raw += data
        # Partial frames wait for the rest so samples and sides stay aligned.
        whole = len(self.raw) // self.frame_bytes * self.frame_bytes
        if not whole:
            return
        data = bytes(self.raw[:whole])
        del self.raw[:whole]
        if len(self.radios) == 1:
            self.radios[0].queue += attenuate(data)
            return
        frames = samples_of(data)
        for side, radio in enumerate(self.radios):
            samples = frames[side :: len(self.radios)]
            for at in range(0, len(samples), self.block):
                block = samples[at : at + self.block]
                if any(block):
                    radio.queue += attenuate(bytes_of(block))

    def write_rx(self, chunks, log):
        """Writes what each radio hears (one block per radio, in side order)."""
        self.pending += chunks[0] if len(chunks) == 1 else interleave(chunks)
        if len(self.pending) > self.max_pending:
            if not self.overflowed:
                log("%s is not reading its receive audio; dropping the oldest" % self.name)
                self.overflowed = True
            del self.pending[: len(self.pending) - self.max_pending]
        while self.pending:
            try:
                n = os.write(self.rx, self.pending)
            except BlockingIOError:
                return
            del self.pending[:n]
        self.overflowed = False


class Channel:
    """Every simulated channel, stepped together on one clock.

    layout[i] lists the simulated channels of node i's radio channels, in
    Dire Wolf's channel order (one entry for a mono node, two for a stereo one).
    """

    def __init__(self, directory, count, rate, log, layout=None):
        self.rate = rate
        self.log = log
        layout = layout or [[0]] * count
        self.nodes = [Node(i, directory, rate, layout[i]) for i in range(count)]
        self.radios = [radio for node in self.nodes for radio in node.radios]
        self.airs = sorted({radio.air for radio in self.radios})
        self.stopping = False
        self.bursts = 0
        self.collisions = 0
        self.colliding = {air: set() for air in self.airs}
        self.stalls = 0

    def stop(self, *_):
        self.stopping = True

    def run(self):
        log = self.log
        channels = "" if len(self.airs) == 1 else " on %d channels" % len(self.airs)
        log("channel ready: %d nodes%s, %d samples/s" % (len(self.nodes), channels, self.rate))
        tx_fds = [n.tx for n in self.nodes]
        start = time.monotonic()
        produced = 0
        while not self.stopping:
            elapsed = time.monotonic() - start
            due = int(elapsed * self.rate) - produced
            if due > self.rate * MAX_CATCH_UP:
                behind = due / self.rate
                if behind >= 1.0:
                    log("stalled: %.1f s behind" % behind)
                    self.stalls += 1
                skip = due - int(self.rate * MAX_CATCH_UP)
                produced += skip
                due -= skip
            for node in self.nodes:
                node.read_tx()
            if due > 0:
                self.step(due)
                produced += due
            wait = (produced + self.rate * TICK) / self.rate - (time.monotonic() - start)
            if wait > 0:
                try:
                    select.select(tx_fds, [], [], wait)
                except InterruptedError:
                    pass
        for radio in self.radios:
            if radio.on_air_since is not None:
                self.end_burst(radio)
        for node in self.nodes:
            node.close()
        times = os.times()
        log("channel stopped: %d bursts, %d collisions, %d stalls, %.1f s CPU in %.0f s"
            % (self.bursts, self.collisions, self.stalls, times.user + times.system, time.monotonic() - start))

    def step(self, samples):
        nbytes = samples * SAMPLE_BYTES
        talking = {air: [] for air in self.airs}
        for radio in self.radios:
            if radio.queue:
                if radio.on_air_since is None:
                    radio.on_air_since = time.monotonic()
                    radio.burst_bytes = 0
                    self.bursts += 1
                    self.log("%s on air" % radio.name)
                radio.burst_bytes += min(nbytes, len(radio.queue))
                talking[radio.air].append((radio, radio.take(nbytes)))
            elif radio.on_air_since is not None:
                self.end_burst(radio)
        for air in self.airs:
            self.note_collision(air, [radio for radio, _ in talking[air]])
        silence = bytes(nbytes)
        for node in self.nodes:
            chunks = []
            for radio in node.radios:
                # Half duplex: a transmitting radio hears nothing, not even the others.
                on_air = radio.on_air_since is not None
                heard = [] if on_air else [chunk for other, chunk in talking[radio.air] if other is not radio]
                if not heard:
                    chunks.append(silence)
                elif len(heard) == 1:
                    chunks.append(heard[0])
                else:
                    chunks.append(mix(heard))
            node.write_rx(chunks, self.log)

    def end_burst(self, radio):
        seconds = radio.burst_bytes / SAMPLE_BYTES / self.rate
        self.log("%s off air after %.3f s" % (radio.name, seconds))
        radio.on_air_since = None

    def note_collision(self, air, talking):
        """Counts each stretch of overlapping bursts once; logs whenever another radio joins it."""
        names = {r.name for r in talking}
        if len(names) < 2:
            self.colliding[air] = set()
            return
        if not self.colliding[air]:
            self.collisions += 1
        if names - self.colliding[air]:
            self.log("collision: %s" % " ".join(sorted(names)))
        self.colliding[air] = names


def parse_layout(text, count):
    """"0+1,0,1": node 0 has radio channels on simulated channels 0 and 1, node 1 on 0, node 2 on 1."""
    layout = []
    for entry in text.split(","):
        airs = [int(a) for a in entry.split("+")]
        if not 1 <= len(airs) <= 2 or len(set(airs)) != len(airs) or min(airs) < 0:
            raise ValueError("bad node entry %r" % entry)
        layout.append(airs)
    if len(layout) != count:
        raise ValueError("%d node entries for %d nodes" % (len(layout), count))
    return layout


def main():
    parser = argparse.ArgumentParser(description="Relay Dire Wolf audio between nodes on simulated channels.")
    parser.add_argument("directory", help="folder with nodeI.tx and nodeI.rx FIFOs")
    parser.add_argument("--nodes", type=int, default=2)
    parser.add_argument("--sample-rate", type=int, default=24000)
    parser.add_argument("--layout", help="simulated channels of each node's radio channels, e.g. 0+1,0,1 "
                        "(default: every node on channel 0)")
    parser.add_argument("--log", help="log file (default: standard error)")
    args = parser.parse_args()
    if args.nodes < 1:
        parser.error("--nodes must be at least 1")
    layout = None
    if args.layout:
        try:
            layout = parse_layout(args.layout, args.nodes)
        except ValueError as e:
            parser.error("--layout: %s" % e)
    log = Log(args.log)
    channel = Channel(args.directory, args.nodes, args.sample_rate, log, layout)
    signal.signal(signal.SIGTERM, channel.stop)
    signal.signal(signal.SIGINT, channel.stop)
    signal.signal(signal.SIGPIPE, signal.SIG_IGN)
    channel.run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
