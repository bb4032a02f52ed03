#!/usr/bin/env python3
"""A neighbour's flood against the real server, on 127.0.0.1: the engine
reads at 5 MB/s (burst.py's slow engine), neighbour A announces 100 users and
then sends USER note changes and TOPI lines as fast as the server takes them,
neighbour B reads what the server sends it at 100 KB/s, and one station says
a line every 0.2 s to the others in Root.

It prints how much A sent and B got, the latency of the stations' lines
(from the station's send to the last copy the engine read: median and
maximum), the server's peak resident memory, and whether B's link held.
Usage: neighbour_flood.py PALAVORO_BINARY [--seconds 30] [--stations 10]
"""

import argparse
import os
import socket
import statistics
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tests", "integration"))
from agwpeer import AgwPeer, PalavoroRun, encode_frame, free_port, ini_text  # noqa: E402
from burst import SlowEngine  # noqa: E402

SERVER = "N0SRV"
PREFIX = b"/\xff\x80"
ENGINE_RATE = 5e6
B_RATE = 100e3


def neighbour(port, name):
    sock = socket.create_connection(("127.0.0.1", port))
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 14)
    sock.sendall(PREFIX + b"HOST %s W-2.81 dpu\n" % name)
    return sock


def flood(sock, stop, sent):
    users = [b"u%03d" % i for i in range(100)]
    sock.sendall(b"".join(PREFIX + b"USER %s wam1 1 -1 0 @\n" % u for u in users))
    number = 2
    while not stop.is_set():
        batch = b"".join(PREFIX + b"USER %s wam1 %d 0 0 note %d\n" % (u, number, number) for u in users)
        batch += b"".join(PREFIX + b"TOPI u000 wam1 %d 0 topic %d %s\n" % (number, i, b"t" * 200) for i in range(20))
        try:
            sock.sendall(batch)
        except OSError:
            return
        sent[0] += len(batch)
        number += 1


def read_slowly(sock, stop, got):
    start = time.monotonic()
    while not stop.is_set():
        wait = start + got[0] / B_RATE - time.monotonic()
        if wait > 0:
            time.sleep(wait)
            continue
        sock.settimeout(0.2)
        try:
            data = sock.recv(4096)
        except socket.timeout:
            continue
        except OSError:
            data = b""
        if not data:
            got.append("closed")
            return
        got[0] += len(data)


def main():
    args = argparse.ArgumentParser()
    args.add_argument("binary")
    args.add_argument("--seconds", type=float, default=30)
    args.add_argument("--stations", type=int, default=10)
    options = args.parse_args()
    os.environ["PALAVORO_BIN"] = os.path.abspath(options.binary)
    calls = ["N%05d" % i for i in range(options.stations)]
    listen = free_port()
    with AgwPeer() as peer:
        peer._listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 17)
        ini = ini_text({"PALAVORO": {"TCP_PORT": peer.port, "CALLSIGN": SERVER, "TIMEOUT": 0, "TRACE": 1},
                        "CONVERS": {"HOSTNAME": "pvnode", "LISTEN": str(listen)},
                        "LINKS": ["wam1=*", "wam2=*"]})
        with PalavoroRun(ini) as run:
            peer.accept()
            peer.serve_startup()
            engine = SlowEngine(peer, ENGINE_RATE, run)
            for c in calls:
                peer.send_raw(encode_frame("C", 0, 0, c, SERVER, b"*** CONNECTED To Station %s\r\0" % c.encode()))
            engine.until(lambda: engine.total("welcome", calls) == len(calls), 60)
            idle = engine.rss()
            stop = threading.Event()
            sent, got = [0], [0]
            a = neighbour(listen, b"wam1")
            b = neighbour(listen, b"wam2")
            threads = [threading.Thread(target=flood, args=(a, stop, sent), daemon=True),
                       threading.Thread(target=read_slowly, args=(b, stop, got), daemon=True)]
            for t in threads:
                t.start()
            latencies = []
            end = time.monotonic() + options.seconds
            while time.monotonic() < end:
                before = engine.total("line", calls[1:])
                t0 = time.monotonic()
                peer.send_raw(encode_frame("D", 0, 0xF0, calls[0], SERVER, b"x\r"))
                engine.until(lambda: engine.total("line", calls[1:]) == before + len(calls) - 1, 60)
                latencies.append(time.monotonic() - t0)
                pause = time.monotonic() + 0.2
                engine.until(lambda: time.monotonic() >= pause, 60)
            stop.set()
            connections = run.stderr()
            held = "closed" not in got and "wam2: " not in connections.replace("link up: wam2", "") and run.running()
            print("stations %d, engine reads %.1f MB/s, B reads %.0f KB/s, %.0f s" %
                  (len(calls), ENGINE_RATE / 1e6, B_RATE / 1e3, options.seconds))
            print("A sent %.1f MB of note changes and topics; B got %.1f MB" % (sent[0] / 1e6, got[0] / 1e6))
            print("station lines: %d, latency median %.1f ms, max %.1f ms" %
                  (len(latencies), 1e3 * statistics.median(latencies), 1e3 * max(latencies)))
            print("server memory: idle %.1f MB, peak %.1f MB" % (idle / 1e6, engine.peak_rss / 1e6))
            print("B's link %s" % ("held" if held else "was DROPPED"))
            for line in connections.splitlines():
                if "link broken" in line or "link down" in line:
                    print("  " + line)
            for s in (a, b):
                s.close()
            return 0 if held else 1


if __name__ == "__main__":
    sys.exit(main())
