"""A hostile web client against the status page of the real program: a huge
request header, a huge POST body, many pipelined requests never read, many
idle connections, many connections that send a byte now and then (from
127.0.0.2, while the sysop's requests come from 127.0.0.1). Each is refused or bounded: the server's memory stays within
10 MB of idle, two stations keep chatting meanwhile, and the page answers
again afterwards. At a low descriptor limit the page leaves the chat its
descriptors and the server does not spin."""

import contextlib
import http.client
import os
import resource
import select
import socket
import subprocess
import threading
import time
import unittest
import urllib.request

from agwpeer import DEFAULT_TIMEOUT, AgwPeer, PalavoroRun, free_port, ini_text, palavoro_binary

SERVER = "N0SRV-1"
STATIONS = ("N0ABC", "K1BBB")
MB = 1024 * 1024
# What the server may hold on a connection (see StatusServer.h).
MAX_CONNECTIONS = 64
MAX_PER_ADDRESS = 8
IDLE_SECONDS = 5
REQUEST_SECONDS = 5  # to deliver a whole request
SLOW_ADDRESS = "127.0.0.2"
REQUEST = b"GET /status.json HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"


class LimitedRun(PalavoroRun):
    """The program started with a given RLIMIT_NOFILE (soft, hard)."""

    def __init__(self, *args, nofile=None, **kwargs):
        super().__init__(*args, **kwargs)
        self.nofile = nofile

    def start(self):
        limits = self.nofile
        with open(self._stdout, "wb") as out, open(self._stderr, "wb") as err:
            self.process = subprocess.Popen(
                [palavoro_binary()] + self.args, cwd=self.workdir, env=self.env,
                stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                preexec_fn=(lambda: resource.setrlimit(resource.RLIMIT_NOFILE, limits)) if limits else None)
        return self


def proc_field(pid, name, table="status"):
    with open("/proc/%d/%s" % (pid, table)) as f:
        for line in f:
            if line.startswith(name):
                return line[len(name):].split()


def rss(pid):
    return int(proc_field(pid, "VmRSS:")[0]) * 1024


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def open_sockets(pid):
    count = 0
    for fd in os.listdir("/proc/%d/fd" % pid):
        try:
            count += os.readlink("/proc/%d/fd/%s" % (pid, fd)).startswith("socket:")
        except FileNotFoundError:
            pass
    return count


def stream(sock, head, total, chunk=256 * 1024):
    """Sends `head` then filler up to `total` bytes while reading what comes back;
    returns (bytes sent, what came back) once the server has closed the connection."""
    sock.setblocking(False)
    pending, sent, answer = head, 0, b""
    filler = b"a" * chunk
    while True:
        more = pending or sent < total
        readable, writable, _ = select.select([sock], [sock] if more else [], [], DEFAULT_TIMEOUT)
        if not readable and not writable:
            raise TimeoutError("the server neither answered nor took more after %d bytes" % sent)
        try:
            if readable:
                data = sock.recv(65536)
                if not data:
                    return sent, answer
                answer += data
            if writable:
                pending = pending or filler[: total - sent]
                n = sock.send(pending)
                pending = pending[n:]
                sent += n
        except (BrokenPipeError, ConnectionResetError):
            return sent, answer


class StatusFloodTest(unittest.TestCase):
    def start(self, nofile=None):
        self.peer = AgwPeer()
        self.addCleanup(self.peer.close)
        self.port = free_port()
        settings = {"TCP_PORT": self.peer.port, "CALLSIGN": SERVER, "STATUS": str(self.port)}
        # A sanitized build keeps freed memory aside to catch late uses; kept
        # small, the memory measured is still the program's own.
        sanitizer = ":".join(filter(None, [os.environ.get("ASAN_OPTIONS"), "quarantine_size_mb=1"]))
        self.run_ = LimitedRun(ini_text({"PALAVORO": settings, "AREAS": ["1=General chat"]}), nofile=nofile,
                               env={"ASAN_OPTIONS": sanitizer})
        self.addCleanup(self.run_.cleanup)
        self.addCleanup(self.run_.stop)
        self.run_.start()
        self.peer.accept()
        self.peer.serve_startup()
        for call in STATIONS:
            self.peer.connect_station(1, call, SERVER)
            self.peer.wait_for_data_to(call, contains="}:")
            self.peer.send_line(1, call, SERVER, "/J 1")
            self.peer.wait_for_data_to(call, contains="}:")
        self.rounds = 0
        for _ in range(3):  # warm up: what the first requests allocate is part of idle
            self.fetch("/status.json")
            self.fetch("/")
        self.chat()
        self.idle = rss(self.run_.pid)
        self.peak = self.idle

    def fetch(self, path):
        with urllib.request.urlopen("http://127.0.0.1:%d%s" % (self.port, path), timeout=DEFAULT_TIMEOUT) as answer:
            self.assertEqual(answer.status, 200)
            return answer.read()

    def chat(self):
        """Each station says a line, which the other gets."""
        for speaker, listener in (STATIONS, STATIONS[::-1]):
            self.rounds += 1
            line = "line %d from %s" % (self.rounds, speaker)
            self.peer.send_line(1, speaker, SERVER, line)
            self.peer.wait_for_data_to(listener, contains=line)

    def sample(self):
        self.peak = max(self.peak, rss(self.run_.pid))

    def during(self, flood):
        """Runs `flood` in a thread while the stations chat and memory is sampled;
        returns what it returned."""
        result = {}

        def run():
            try:
                result["value"] = flood()
            except BaseException as error:  # handed to the test's thread
                result["error"] = error

        thread = threading.Thread(target=run)
        thread.start()
        rounds = self.rounds
        while thread.is_alive() or self.rounds == rounds:
            self.chat()
            self.sample()
        thread.join()
        if "error" in result:
            raise result["error"]
        return result.get("value")

    def assert_recovered(self, what):
        self.sample()
        after = rss(self.run_.pid)
        print("%s: RSS idle %.1f MB, peak %.1f MB, after %.1f MB" % (what, self.idle / MB, self.peak / MB, after / MB))
        self.assertLess(self.peak - self.idle, 10 * MB)
        # The server may still be closing what the flood left when the first try comes.
        deadline = time.monotonic() + 2 * IDLE_SECONDS
        while True:
            try:
                answer = self.fetch("/status.json")
                break
            except (OSError, http.client.HTTPException):
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.2)
        self.assertIn(b'"stations"', answer)
        self.chat()
        self.assertTrue(self.run_.running())

    def connection(self, source=None):
        sock = socket.create_connection(("127.0.0.1", self.port), timeout=DEFAULT_TIMEOUT,
                                        source_address=(source, 0) if source else None)
        self.addCleanup(sock.close)
        return sock

    def connections(self, count):
        """Connections from as many addresses as the limit per address asks for (127.0.0.2 onwards)."""
        return [self.connection("127.0.0.%d" % (2 + i // MAX_PER_ADDRESS)) for i in range(count)]

    def test_a_huge_request_header_gets_431_and_the_connection_closed(self):
        self.start()
        head = b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Flood: "
        sent, answer = self.during(lambda: stream(self.connection(), head, 64 * MB))
        self.assertTrue(answer.startswith(b"HTTP/1.1 431 "), answer[:80])
        self.assertLess(sent, 32 * MB)  # closed long before the end
        self.assert_recovered("header flood")

    def test_a_huge_post_body_is_refused_unread_and_the_connection_closed(self):
        self.start()
        post = b"POST /status.json HTTP/1.1\r\nHost: 127.0.0.1\r\n"
        for status, head in ((b"413", post + b"Content-Length: %d\r\n\r\n" % (64 * MB)),
                             (b"411", post + b"Transfer-Encoding: chunked\r\n\r\n4000000\r\n")):
            with self.subTest(status=status):
                sent, answer = self.during(lambda: stream(self.connection(), head, 64 * MB))
                self.assertTrue(answer.startswith(b"HTTP/1.1 %s " % status), answer[:80])
                self.assertLess(sent, 32 * MB)
        self.assert_recovered("body flood")

    def test_pipelined_requests_wait_until_their_answers_are_taken(self):
        self.start()
        requests = b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" * 2000
        socks = [self.connection() for _ in range(20)]

        def flood():
            for sock in socks:
                sock.setblocking(False)
                try:
                    sock.send(requests)  # what the socket takes now; the rest would block
                except BlockingIOError:
                    pass
            time.sleep(2)

        self.during(flood)
        # The server answered only as far as the client read: one connection's
        # answers are all still to come, in order, once it reads them.
        sock = socks[0]
        sock.setblocking(True)
        sock.sendall(b"GET /status.json HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n")
        answers = b""
        while data := sock.recv(1 << 20):
            answers += data
        self.assertEqual(answers.count(b"HTTP/1.1 200 OK\r\n"), 2001)
        self.assertIn(b'"stations"', answers[-4096:])
        self.assert_recovered("pipelined flood")

    def closed_by_server(self, socks):
        closed = 0
        for sock in socks:
            sock.setblocking(False)
            try:
                closed += sock.recv(1) == b""
            except BlockingIOError:
                pass
            except ConnectionResetError:
                closed += 1
        return closed

    def test_idle_connections_past_the_limit_are_bounded_and_closed(self):
        self.start()
        before = open_sockets(self.run_.pid)
        socks = self.connections(3 * MAX_CONNECTIONS)
        for sock in socks[::2]:
            sock.sendall(b"GET / HTTP/1.1\r\nHost: ")  # a request never finished

        def flood():
            most = 0
            deadline = time.monotonic() + IDLE_SECONDS + 3
            while time.monotonic() < deadline:
                most = max(most, open_sockets(self.run_.pid) - before)
                time.sleep(0.1)
            return most

        # One more for the instant between accepting one past the limit and closing it.
        self.assertLessEqual(self.during(flood), MAX_CONNECTIONS + 1)
        self.assertEqual(self.closed_by_server(socks), len(socks))
        self.assert_recovered("idle connections")

    def test_slow_clients_are_closed_at_their_deadline_and_the_sysop_is_served(self):
        self.start()
        start = time.monotonic()
        socks = {self.connection(SLOW_ADDRESS) for _ in range(MAX_CONNECTIONS)}
        closed, sent = {}, 0  # the seconds after which the server closed each
        while socks - closed.keys() and time.monotonic() - start < 3 * REQUEST_SECONDS:
            if time.monotonic() - start >= 4 * sent:  # a byte every 4 s: less than the idle time
                for sock in socks - closed.keys():
                    with contextlib.suppress(OSError):
                        sock.send(REQUEST[sent:sent + 1])
                sent += 1
            for sock in select.select(list(socks - closed.keys()), [], [], 0.2)[0]:
                closed[sock] = time.monotonic() - start  # the end: the request is never whole
            self.fetch("/status.json")  # the sysop's, all along
        late = sorted(t for t in closed.values() if t > REQUEST_SECONDS / 2)
        self.assertEqual(len(closed), MAX_CONNECTIONS)
        self.assertEqual(len(late), MAX_PER_ADDRESS, late)
        self.assertTrue(REQUEST_SECONDS - 0.5 < late[0] and late[-1] < REQUEST_SECONDS + 2.5, late)
        self.assert_recovered("slow clients")

    def test_a_kept_alive_connection_has_its_time_from_its_last_answer(self):
        self.start()
        sock, start = self.connection(), time.monotonic()
        for pause in (0, REQUEST_SECONDS - 2):
            time.sleep(pause)
            sock.sendall(REQUEST)
            answer = http.client.HTTPResponse(sock)
            answer.begin()
            answer.read()
        answered = time.monotonic()
        for byte in REQUEST:  # a byte a second: never idle, never whole
            sock.send(bytes([byte]))
            if select.select([sock], [], [], 1)[0]:
                break
        closed = time.monotonic()
        self.assertTrue(REQUEST_SECONDS - 0.5 < closed - answered < REQUEST_SECONDS + 2, closed - answered)
        self.assertGreater(closed - start, REQUEST_SECONDS + 1)  # not counted from its acceptance

    def test_the_page_takes_at_most_half_of_the_raised_descriptor_limit(self):
        self.start(nofile=(40, 48))
        self.assertEqual(proc_field(self.run_.pid, "Max open files", "limits")[:2], ["48", "48"])
        before = open_sockets(self.run_.pid)
        socks = self.connections(40)
        self.during(lambda: time.sleep(1))
        self.assertEqual(open_sockets(self.run_.pid) - before, 48 // 2)
        self.assertEqual(self.closed_by_server(socks), 40 - 48 // 2)
        for sock in socks:
            sock.close()
        self.assert_recovered("half the descriptors")

    def test_with_no_descriptor_free_accepting_waits_without_spinning(self):
        self.start()
        pid = self.run_.pid
        free = 3
        limit = len(os.listdir("/proc/%d/fd" % pid)) + free
        resource.prlimit(pid, resource.RLIMIT_NOFILE, (limit, limit))
        socks = [self.connection() for _ in range(30)]
        cpu = cpu_seconds(pid)
        time.sleep(2)
        spent = cpu_seconds(pid) - cpu  # an idle server spends none; spinning, all it is given
        self.during(lambda: time.sleep(1))
        self.assertLess(spent, 0.1)
        self.assertEqual(len(os.listdir("/proc/%d/fd" % pid)), limit)
        for sock in socks:
            sock.close()
        self.assert_recovered("no descriptor free")


if __name__ == "__main__":
    unittest.main(verbosity=2)
