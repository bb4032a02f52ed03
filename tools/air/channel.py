#!/usr/bin/env python3
"""One simulated radio channel shared by several Dire Wolf nodes.

Each node writes its transmit audio (raw signed 16-bit little-endian mono) into
DIR/nodeI.tx and reads its receive audio from DIR/nodeI.rx (its stdin). The
channel plays every transmission to the other nodes at real-time pace, feeds
silence while nobody transmits so that carrier detect drops, sums overlapping
transmissions (a collision garbles both), and keeps a node deaf while it
transmits itself.

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


def attenuate(data):
    """Quarter amplitude: Dire Wolf transmits about four times louder than it likes to
    receive, and says so on every frame it hears."""
    samples = array.array("h", data)
    if sys.byteorder == "big":
        samples.byteswap()
    quiet = array.array("h", [s >> 2 for s in samples])
    if sys.byteorder == "big":
        quiet.byteswap()
    return quiet.tobytes()


def mix(chunks):
    """Sum 16-bit sample blocks with clipping; only needed while bursts overlap."""
    total = array.array("h", bytes(len(chunks[0])))
    acc = [0] * len(total)
    for chunk in chunks:
        samples = array.array("h", chunk)
        if sys.byteorder == "big":
            samples.byteswap()
        for i, s in enumerate(samples):
            acc[i] += s
    for i, s in enumerate(acc):
        total[i] = 32767 if s > 32767 else (-32768 if s < -32768 else s)
    if sys.byteorder == "big":
        total.byteswap()
    return total.tobytes()


class Node:
    def __init__(self, index, directory, rate):
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
        self.raw = bytearray()
        self.queue = bytearray()
        self.pending = bytearray()
        self.max_pending = int(rate * MAX_PENDING_SECONDS) * SAMPLE_BYTES
        self.on_air_since = None
        self.burst_bytes = 0
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
        # Odd byte counts wait for their other half so samples stay aligned.
        whole = len(self.raw) // SAMPLE_BYTES * SAMPLE_BYTES
        if whole:
            self.queue += attenuate(bytes(self.raw[:whole]))
            del self.raw[:whole]

    def take(self, nbytes):
        chunk = bytes(self.queue[:nbytes])
        del self.queue[:nbytes]
        if len(chunk) < nbytes:
            chunk += bytes(nbytes - len(chunk))
        return chunk

    def write_rx(self, data, log):
        self.pending += data
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
    def __init__(self, directory, count, rate, log):
        self.rate = rate
        self.log = log
        self.nodes = [Node(i, directory, rate) for i in range(count)]
        self.stopping = False
        self.bursts = 0
        self.collisions = 0
        self.colliding = set()
        self.stalls = 0

    def stop(self, *_):
        self.stopping = True

    def run(self):
        log = self.log
        log("channel ready: %d nodes, %d samples/s" % (len(self.nodes), self.rate))
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
        for node in self.nodes:
            if node.on_air_since is not None:
                self.end_burst(node)
            node.close()
        times = os.times()
        log("channel stopped: %d bursts, %d collisions, %d stalls, %.1f s CPU in %.0f s"
            % (self.bursts, self.collisions, self.stalls, times.user + times.system, time.monotonic() - start))

    def step(self, samples):
        nbytes = samples * SAMPLE_BYTES
        talking = []
        for node in self.nodes:
            if node.queue:
                if node.on_air_since is None:
                    node.on_air_since = time.monotonic()
                    node.burst_bytes = 0
                    self.bursts += 1
                    self.log("%s on air" % node.name)
                node.burst_bytes += min(nbytes, len(node.queue))
                talking.append((node, node.take(nbytes)))
            elif node.on_air_since is not None:
                self.end_burst(node)
        self.note_collision([node for node, _ in talking])
        silence = bytes(nbytes)
        for node in self.nodes:
            # Half duplex: a transmitting node hears nothing, not even the others.
            on_air = node.on_air_since is not None
            heard = [] if on_air else [chunk for other, chunk in talking if other is not node]
            if not heard:
                node.write_rx(silence, self.log)
            elif len(heard) == 1:
                node.write_rx(heard[0], self.log)
            else:
                node.write_rx(mix(heard), self.log)

    def end_burst(self, node):
        seconds = node.burst_bytes / SAMPLE_BYTES / self.rate
        self.log("%s off air after %.3f s" % (node.name, seconds))
        node.on_air_since = None

    def note_collision(self, talking):
        """Counts each stretch of overlapping bursts once; logs whenever another node joins it."""
        names = {n.name for n in talking}
        if len(names) < 2:
            self.colliding = set()
            return
        if not self.colliding:
            self.collisions += 1
        if names - self.colliding:
            self.log("collision: %s" % " ".join(sorted(names)))
        self.colliding = names


def main():
    parser = argparse.ArgumentParser(description="Relay Dire Wolf audio between nodes on one simulated channel.")
    parser.add_argument("directory", help="folder with nodeI.tx and nodeI.rx FIFOs")
    parser.add_argument("--nodes", type=int, default=2)
    parser.add_argument("--sample-rate", type=int, default=24000)
    parser.add_argument("--log", help="log file (default: standard error)")
    args = parser.parse_args()
    if args.nodes < 1:
        parser.error("--nodes must be at least 1")
    log = Log(args.log)
    channel = Channel(args.directory, args.nodes, args.sample_rate, log)
    signal.signal(signal.SIGTERM, channel.stop)
    signal.signal(signal.SIGINT, channel.stop)
    signal.signal(signal.SIGPIPE, signal.SIG_IGN)
    channel.run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
