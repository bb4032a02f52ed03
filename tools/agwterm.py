#!/usr/bin/env python3
"""A terminal for one radio user over an AGW engine.

    agwterm.py --port 8011 --mycall N0USR --connect N0SRV

Registers MYCALL, connects to the station (or, without --connect, waits for a
station to connect), then sends each line typed as connected data ending in CR
and prints what arrives with CR shown as a line end. "/quit", end of input or
Ctrl-D sends what is still queued, disconnects and waits for the engine's notice.
"""

import argparse
import os
import select
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from agwclient import AGWClient, AGWError, notice_text  # noqa: E402

QUIT = b"/quit"


def show(text):
    sys.stdout.write(text)
    sys.stdout.flush()


def show_data(data):
    sys.stdout.buffer.write(data.replace(b"\r\n", b"\n").replace(b"\r", b"\n"))
    sys.stdout.buffer.flush()


def show_notice(frame):
    show(notice_text(frame) + "\n")


class Session:
    def __init__(self, client, mycall, remote):
        self.client = client
        self.mycall = mycall
        self.remote = remote

    def drain(self):
        """Prints what the engine sent so far; returns False once the connection has ended."""
        client = self.client
        data = client.data.pop(self.remote, None)
        if data:
            show_data(data)
        client.data.clear()
        ended = False
        while client.frames:
            frame = client.frames.popleft()
            if frame.kind == "d" and frame.call_from == self.remote:
                show_notice(frame)
                ended = True
        return not ended

    def run(self, stdin_fd):
        pending = b""
        while self.drain():
            ready, _, _ = select.select([self.client, stdin_fd], [], [])
            if self.client in ready:
                self.client.pump(0)
            if stdin_fd not in ready:
                continue
            chunk = os.read(stdin_fd, 4096)
            if not chunk:
                if pending:
                    self.client.send_line(self.mycall, self.remote, pending)
                return self.leave()
            pending += chunk
            while b"\n" in pending:
                line, pending = pending.split(b"\n", 1)
                line = line.rstrip(b"\r")
                if line.strip() == QUIT:
                    return self.leave()
                self.client.send_line(self.mycall, self.remote, line)
        return 0

    def leave(self, flush=True):
        client = self.client
        if flush:
            # The engine throws away unsent text when asked to disconnect.
            client.wait_sent(self.mycall, self.remote)
        if not self.drain() or self.remote not in client.connected:
            return 0
        client.send_frame("d", call_from=self.mycall, call_to=self.remote)
        try:
            notice = client.wait("d", self.remote)
        except AGWError:
            self.drain()
            show("no disconnect notice from the engine\n")
            return 1
        self.drain()
        show_notice(notice)
        return 0


def main():
    parser = argparse.ArgumentParser(description="Talk to a station over an AGW engine.")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=8000, help="AGW port of the engine")
    parser.add_argument("--mycall", required=True, help="own callsign (registered with the engine)")
    parser.add_argument("--connect", metavar="CALL", help="station to connect to; without it, wait for a station")
    parser.add_argument("--radio", type=int, default=0, help="engine's radio port, from 0 (default 0)")
    parser.add_argument("--timeout", type=float, default=60.0, help="seconds to wait for the engine (default 60)")
    args = parser.parse_args()
    mycall = args.mycall.upper()
    try:
        with AGWClient(args.port, args.host, timeout=args.timeout, radio_port=args.radio) as client:
            client.register(mycall)
            if args.connect:
                remote = args.connect.upper()
                client.send_frame("C", call_from=mycall, call_to=remote)
                notice = client.wait("Cd", remote)
                show_notice(notice)
                if notice.kind != "C":
                    return 1
            else:
                show("waiting for a station to connect to %s\n" % mycall)
                notice = client.wait("C", timeout=10**9)
                remote = notice.call_from
                show_notice(notice)
            session = Session(client, mycall, remote)
            try:
                return session.run(sys.stdin.fileno())
            except KeyboardInterrupt:
                return session.leave(flush=False)
    except AGWError as e:
        print("agwterm: %s" % e, file=sys.stderr)
        return 1
    except OSError as e:
        print("agwterm: cannot reach the AGW engine at %s:%d: %s" % (args.host, args.port, e.strerror or e),
              file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
