#!/usr/bin/env python3
"""One station floods the server with names: the real server with a user file
of 1,000 entries, behind a scripted engine on 127.0.0.1 that reads all it is
sent. N0AAA sends one frame of 10,000 lines, "/NA a" and "/NA b" in turn;
0.3 s later N0BBB says a line, and the time until N0CCC (in the same area)
gets it is measured. Meanwhile the server runs as under systemd with a
watchdog: its keep-alives are received and the longest gap between two of
them during the flood is printed, with the time until N0AAA's last answer.

Usage: name_burst.py PALAVORO_BINARY [--lines 10000] [--users 1000] [--runs 3]
"""

import argparse
import os
import shutil
import socket
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tests", "integration"))
from agwpeer import AgwPeer, PalavoroRun, encode_frame, ini_text  # noqa: E402

SERVER = "N0SRV"
FLOODER, SPEAKER, LISTENER = "N0AAA", "N0BBB", "N0CCC"
MARK = "said during the flood"
WATCHDOG_USEC = 30_000_000


def user_file(users):
    names = "".join("N%04dX=Name %d\r\n" % (i, i) for i in range(users))
    infos = "".join("N%04dX=Rig and QTH of station %d\r\n" % (i, i) for i in range(users))
    return ("[USERS]\r\n%s%s=Old\r\n[INFO]\r\n%s" % (names, FLOODER, infos)).encode("latin-1")


class Engine(threading.Thread):
    """Reads every frame the server sends; notes when the marked line reaches the
    listener and when the flooder's last answer arrives."""

    def __init__(self, peer):
        super().__init__(daemon=True)
        self.peer = peer
        self.heard_at = None
        self.answered = 0
        self.last_answer_at = None
        self.done = False

    def run(self):
        while not self.done:
            try:
                frame = self.peer.recv_frame(timeout=0.2)
            except ConnectionError:
                return
            if frame is None or frame.kind != "D":
                continue
            if frame.call_to == LISTENER and MARK in frame.text:
                self.heard_at = time.monotonic()
            elif frame.call_to == FLOODER and "-- User Name for Call" in frame.text:
                self.answered += 1
                self.last_answer_at = time.monotonic()


class Watchdog(threading.Thread):
    """Receives the server's sd_notify messages and times the keep-alives."""

    def __init__(self, path):
        super().__init__(daemon=True)
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(path)
        self.sock.settimeout(0.2)
        self.beats = []
        self.done = False

    def run(self):
        while not self.done:
            try:
                message = self.sock.recv(4096).decode()
            except socket.timeout:
                continue
            if "WATCHDOG=1" in message:
                self.beats.append(time.monotonic())

    def longest_gap(self, start, end):
        """The longest time without a keep-alive that overlaps [start, end]."""
        beats = self.beats
        return max(b - a for a, b in zip(beats, beats[1:]) if b >= start and a <= end)


def one_run(lines, users):
    scratch = tempfile.mkdtemp(prefix="palavoro-burst-")
    watchdog = Watchdog(os.path.join(scratch, "notify"))
    watchdog.start()
    try:
        return flood_once(watchdog, lines, users)
    finally:
        watchdog.done = True
        watchdog.join()
        watchdog.sock.close()
        shutil.rmtree(scratch, ignore_errors=True)


def flood_once(watchdog, lines, users):
    with AgwPeer() as peer:
        ini = ini_text({"PALAVORO": {"TCP_PORT": peer.port, "CALLSIGN": SERVER, "DEBUG": "YES", "TRACE": 1,
                                     "TIMEOUT": 0}})
        env = {"NOTIFY_SOCKET": watchdog.sock.getsockname(), "WATCHDOG_USEC": str(WATCHDOG_USEC)}
        with PalavoroRun(ini, files={"Palavoro.USR": user_file(users)}, env=env) as run:
            peer.accept()
            peer.serve_startup()
            for call in (FLOODER, SPEAKER, LISTENER):
                peer.connect_station(1, call, SERVER)
                peer.wait_for_data_to(call, contains="}:")
            engine = Engine(peer)
            engine.start()
            flood = b"".join(("/NA %s\r" % "ab"[i % 2]).encode() for i in range(lines))
            started = time.monotonic()
            peer.send_raw(encode_frame("D", 0, 0xF0, FLOODER, SERVER, flood))
            time.sleep(0.3)
            said = time.monotonic()
            peer.send_line(1, SPEAKER, SERVER, MARK)
            while engine.heard_at is None or engine.answered < lines:
                if time.monotonic() - started > 300:
                    raise TimeoutError("the server did not answer within 300 s")
                time.sleep(0.01)
            time.sleep(2)  # keep-alives after the flood close the last gap
            engine.done = True
            gap = watchdog.longest_gap(started, engine.last_answer_at)
            return engine.heard_at - said, engine.last_answer_at - started, gap


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("binary")
    parser.add_argument("--lines", type=int, default=10000)
    parser.add_argument("--users", type=int, default=1000)
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    os.environ["PALAVORO_BIN"] = os.path.abspath(args.binary)
    print("%d lines of /NA in one frame, %d users on file" % (args.lines, args.users))
    for n in range(args.runs):
        heard, answered, gap = one_run(args.lines, args.users)
        print("run %d: another station's line reached a third after %.3f s; the flood was answered in %.2f s; "
              "longest gap between watchdog keep-alives %.2f s" % (n + 1, heard, answered, gap))


if __name__ == "__main__":
    main()
