"""Chat users over TCP on the real program: a user logs in with the password
the sysop set through `palavoro ctl passwd`, and chats with a radio station
of the scripted AGWPE peer both ways, byte for byte; /W and the status page
mark it; it stays while the engine goes and comes back. Wrong logins and a
flood of logins from one address are refused, and a user who stops reading is dropped
while the radio stations chat on. Everything on 127.0.0.1."""

import json
import socket
import subprocess
import time
import unittest
import urllib.request

from agwpeer import DEFAULT_TIMEOUT, AgwPeer, PalavoroRun, free_port, ini_text, palavoro_binary
from conversnet import wait_until

SERVER = "N0SRV"
ECHO_OFF = b"\xff\xfb\x01"
ECHO_ON = b"\xff\xfc\x01"
INCORRECT = ECHO_OFF + b"Password: " + ECHO_ON + b"\r\nLogin incorrect\r\n"


class TcpUser:
    """A user's end of a connection to the server's TCP users' port."""

    def __init__(self, port, source="127.0.0.1", receive_buffer=None):
        self.sock = socket.socket()
        if receive_buffer:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
        self.sock.bind((source, 0))
        self.sock.connect(("127.0.0.1", port))
        self.got = b""

    def close(self):
        self.sock.close()

    def send(self, data):
        self.sock.sendall(data)

    def until(self, end, timeout=DEFAULT_TIMEOUT):
        """Everything received up to and including `end`."""
        deadline = time.monotonic() + timeout
        while end not in self.got:
            self.sock.settimeout(max(0.01, deadline - time.monotonic()))
            chunk = self.sock.recv(65536)
            if not chunk:
                raise ConnectionError("closed by the server; got %r" % self.got)
            self.got += chunk
        at = self.got.index(end) + len(end)
        taken, self.got = self.got[:at], self.got[at:]
        return taken

    def closed(self, timeout=DEFAULT_TIMEOUT):
        """True once the server has closed the connection (what came before it is read and dropped)."""
        self.sock.settimeout(timeout)
        try:
            while self.sock.recv(65536):
                pass
        except ConnectionResetError:
            pass
        return True

    def log_in(self, call, password):
        self.until(b"Callsign: ")
        self.send(call.encode() + b"\r\n")
        self.until(b"Password: ")
        self.send(password.encode() + b"\r\n")


class TcpUsersTest(unittest.TestCase):
    maxDiff = None

    def setUp(self):
        self.peer = AgwPeer()
        self.addCleanup(self.peer.close)
        self.port = free_port()
        self.status_port = free_port()
        settings = {"TCP_PORT": self.peer.port, "CALLSIGN": SERVER, "STATUS": str(self.status_port),
                    "TIMEOUT": 0, "ENGINEWAIT": 3000}
        self.run = PalavoroRun(ini_text({"PALAVORO": settings, "TCPUSERS": {"LISTEN": str(self.port)}}))
        self.addCleanup(self.run.cleanup)
        self.addCleanup(self.run.stop)
        self.run.start()
        self.peer.accept()
        self.peer.serve_startup()
        wait_until(lambda: any("tcp users: listening on 127.0.0.1:%d" % self.port in line
                               for line in self.run.stderr_lines()), what="the listener")
        self.assertEqual(self.ctl("passwd", "N0ABC", stdin="secret\n"),
                         (0, "N0ABC may log in over TCP with that password, any SSID\n"))

    def ctl(self, *words, stdin=""):
        done = subprocess.run([palavoro_binary(), "--dir", self.run.workdir, "ctl", *words], input=stdin,
                              capture_output=True, text=True, timeout=DEFAULT_TIMEOUT)
        return done.returncode, done.stdout + done.stderr

    def user(self, **kwargs):
        user = TcpUser(self.port, **kwargs)
        self.addCleanup(user.close)
        return user

    def radio(self, call):
        self.peer.connect_station(1, call, SERVER)
        self.peer.wait_for_data_to(call, contains="}:")

    def radio_text(self, call, until):
        text = ""
        while until not in text:
            text += self.peer.wait_for_data_to(call).text
        return text

    def status(self):
        with urllib.request.urlopen("http://127.0.0.1:%d/status.json" % self.status_port,
                                    timeout=DEFAULT_TIMEOUT) as answer:
            return json.load(answer)

    def test_a_user_chats_with_a_radio_station_and_stays_while_the_engine_restarts(self):
        self.assertNotIn("secret", self.run.stderr())

        self.radio("N0RAD")
        user = self.user()
        user.log_in("n0abc-2", "secret")
        self.assertEqual(user.until(b"}:\r\n"),
                         ECHO_ON + b"\r\nWelcome to the N0SRV Chat Server\r\n\r\n[0]{N0ABC-2 de N0SRV}:\r\n")
        self.assertEqual(self.peer.wait_for_data_to("N0RAD").text, "[0]<N0ABC-2@N0SRV> <N0ABC-2 joined Area>\r\r")

        user.send(b"hello radio\r\n")
        self.assertEqual(self.peer.wait_for_data_to("N0RAD").text, "[0]<N0ABC-2@N0SRV> hello radio\r\r")
        self.assertEqual(user.until(b"}:\r\n"), b"\r\n[0]{N0ABC-2 de N0SRV}:\r\n")
        self.peer.send_line(1, "N0RAD", SERVER, "hello tcp\r")
        self.assertEqual(user.until(b"hello tcp\r\n\r\n"), b"[0]<N0RAD@N0SRV> hello tcp\r\n\r\n")
        self.radio_text("N0RAD", "}:")

        self.peer.send_line(1, "N0RAD", SERVER, "/W")
        self.assertIn("   User(tcp:N0ABC-2) Name() Info()\r", self.radio_text("N0RAD", "}:"))
        stations = {s["call"]: (s["port"], s.get("via")) for s in self.status()["stations"]}
        self.assertEqual(stations, {"N0RAD": (1, None), "N0ABC-2": (0, "tcp")})

        # The engine goes and comes back: the radio station goes with it, the user stays and is served.
        self.peer.close_connection()
        wait_until(lambda: [s["call"] for s in self.status()["stations"]] == ["N0ABC-2"], what="the radio gone")
        user.send(b"/W\r\n")
        self.assertIn(b"User(tcp:N0ABC-2)", user.until(b"}:\r\n", timeout=DEFAULT_TIMEOUT))
        self.peer.accept(timeout=15)
        self.peer.serve_startup()
        self.radio("N0RAD")
        self.assertIn(b"<N0RAD joined Area>", user.until(b"joined Area>\r\n\r\n"))
        user.send(b"still here\r\n")
        self.assertEqual(self.peer.wait_for_data_to("N0RAD").text, "[0]<N0ABC-2@N0SRV> still here\r\r")
        lines = self.run.stderr_lines()
        self.assertTrue(any(line.startswith("connect N0ABC-2 tcp: from 127.0.0.1:") for line in lines), lines)
        self.assertIn("left N0RAD port 1: link lost: the engine closed the connection", lines)
        self.assertFalse(any(line.startswith("left N0ABC-2") for line in lines))

    def test_wrong_logins_and_a_flood_of_logins_are_refused(self):
        user = self.user()
        user.until(b"Callsign: ")
        user.send(b"N0ABC\r\nwrong\r\n")
        self.assertEqual(user.until(b"Callsign: "), INCORRECT + b"Callsign: ")
        user.send(b"N0XYZ\r\nsecret\r\n")
        self.assertEqual(user.until(b"Callsign: "), INCORRECT + b"Callsign: ")
        user.send(b"N0ABC\r\nwrong\r\n")
        self.assertEqual(user.until(b"incorrect\r\n"), INCORRECT)
        self.assertTrue(user.closed())

        # Five failures within a minute from one address: refused for ten minutes.
        again = self.user()
        again.until(b"Callsign: ")
        again.send(b"N0ABC\r\nwrong\r\nN0ABC\r\nwrong\r\n")
        self.assertTrue(again.closed())
        barred = self.user()
        self.assertTrue(barred.closed(timeout=2))
        self.assertEqual(barred.got, b"")

        wait_until(lambda: "tcp refused from 127.0.0.1: 5 failed logins within a minute, refused for 10 minutes"
                   in self.run.stderr_lines(), what="the refusal")
        lines = self.run.stderr_lines()
        self.assertEqual([line for line in lines if line.startswith("tcp login failed")],
                         ["tcp login failed from 127.0.0.1: N0ABC"], "one line a minute per cause")
        self.assertEqual(self.status()["stations"], [])

    def test_a_user_who_stops_reading_is_dropped_while_the_radio_chats_on(self):
        self.radio("N0RAD")
        self.radio("N0TWO")
        user = self.user(receive_buffer=4096)
        user.log_in("N0ABC", "secret")
        user.until(b"}:\r\n")
        self.peer.collect(quiet=0.3)
        # The user reads nothing from here on (the system takes some MB for
        # it first); the radio stations chat on.
        line = "x" * 4000
        for batch in range(150):
            self.peer.send_line(1, "N0RAD", SERVER, "".join("%04d %s\r" % (batch * 10 + i, line) for i in range(10)))
            self.peer.wait_for_data_to("N0TWO", contains="%04d " % (batch * 10 + 9))
        wait_until(lambda: any(l.startswith("left N0ABC tcp: not reading") for l in self.run.stderr_lines()),
                   timeout=15, what="the user dropped")
        self.assertIn("left N0ABC tcp: not reading, nothing taken for 3 s", self.run.stderr_lines())
        self.peer.wait_for_data_to("N0TWO", contains="<N0ABC left Area>")
        self.peer.send_line(1, "N0RAD", SERVER, "after")
        self.assertEqual(self.peer.wait_for_data_to("N0TWO").text, "[0]<N0RAD@N0SRV> after\r\r")
        self.assertEqual(sorted(s["call"] for s in self.status()["stations"]), ["N0RAD", "N0TWO"])


if __name__ == "__main__":
    unittest.main()
