"""Start-up of the real program: Palavoro.INI, the trace, the single-instance
guard and the ways the program ends. Headless, against a scripted AGWPE peer
on 127.0.0.1."""

import os
import signal
import socket
import subprocess
import time
import unittest

from agwpeer import UTC_TIME, AgwPeer, PalavoroRun, free_port, ini_text, palavoro_binary, private_network

SERVER = "N0SRV"
BEACON_LINE = "{PALAVORO} AX.25 <UI> Beacon Initialized"
class StartupTest(unittest.TestCase):
    def setUp(self):
        self._runs = []
        self._peers = []

    def tearDown(self):
        for run in self._runs:
            run.stop()
            run.cleanup()
        for peer in self._peers:
            peer.close()

    def peer(self):
        peer = AgwPeer()
        self._peers.append(peer)
        return peer

    def start(self, ini=None, **kwargs):
        run = PalavoroRun(ini, **kwargs)
        self._runs.append(run)
        return run.start()

    def start_with_peer(self, palavoro=None, sections=None, serve=True):
        """The program connected to a fresh peer that has answered X, G and R."""
        peer = self.peer()
        settings = {"TCP_PORT": peer.port, "CALLSIGN": SERVER}
        settings.update(palavoro or {})
        all_sections = {"PALAVORO": settings}
        all_sections.update(sections or {})
        run = self.start(ini_text(all_sections))
        peer.accept()
        if serve:
            peer.serve_startup()
            # The version answer went last, so its level-1 line means all three were handled.
            run.wait_for_log(lambda l: l.startswith("{PALAVORO} AGW Packet Engine Version="))
        return run, peer

    def connect(self, peer, port, station, server=SERVER):
        peer.connect_station(port, station, server)
        return peer.wait_for("D", match=lambda f: f.call_to == station)

    def assert_ends(self, run, status=None):
        try:
            code = run.wait(10)
        except subprocess.TimeoutExpired:
            self.fail("the program did not end")
        if status is None:
            self.assertNotEqual(code, 0)
        else:
            self.assertEqual(code, status)
        return code

    def assert_waits_for_the_engine(self, run):
        """With RECONNECT on, the default: no engine is said with its address, and the program waits."""
        lines = run.wait_for_log(lambda l: l.startswith("{PALAVORO} no AGW engine answers at 127.0.0.1:8000 ("))
        self.assertIn("Palavoro: no AGW engine answers at 127.0.0.1:8000 (", run.stderr())
        self.assertTrue(run.running())
        run.signal(15)
        self.assert_ends(run, 0)
        return lines

    def start_on_free_8000(self, ini):
        """Without TCP_PORT the program connects to 127.0.0.1:8000, where a real engine may listen: it runs
        in a network of its own, where that port is free, or here when nothing listens on it."""
        run = PalavoroRun(ini)
        self._runs.append(run)
        if private_network():
            run.prefix = private_network()
        else:
            with socket.socket() as probe:
                if probe.connect_ex(("127.0.0.1", 8000)) == 0:
                    self.skipTest("something listens on 127.0.0.1:8000 and unshare cannot give a network of its own")
        return run.start()

    def test_without_ini_nothing_goes_on_the_air(self):
        run = self.start_on_free_8000(None)
        self.assert_ends(run, 1)
        refusal = "%s/Palavoro.INI: no such file, so [PALAVORO] CALLSIGN is missing" % os.path.realpath(run.workdir)
        self.assertTrue(run.stderr_lines()[-1].startswith("Palavoro 0.10 Initialization Failure: " + refusal),
                        run.stderr())
        lines = run.log_lines()
        self.assertTrue(lines[-1].startswith("{PALAVORO} Start-up refused: " + refusal), lines)
        self.assertFalse(any(l.startswith("{L2}") for l in lines))

    def test_standard_error_lines_carry_their_time_or_the_journals_priority(self):
        engine, page = free_port(), free_port()
        said = [(4, "Palavoro.INI: [PALAVORO] CALLSIGN=N0CALL-5 is the sample's callsign: set your own before "
                    "going on the air"),
                (6, "Palavoro: status page on http://127.0.0.1:%d/" % page),
                # Not "link broken": no engine has answered since start.
                (4, "Palavoro: no AGW engine answers at 127.0.0.1:%d (Connection refused), waiting for one" % engine)]
        for journal in (False, True):
            with self.subTest(journal=journal):
                run = PalavoroRun(ini_text({"PALAVORO": {"TCP_PORT": engine, "CALLSIGN": "N0CALL-5", "STATUS": page}}))
                self._runs.append(run)
                if journal:
                    run.stderr_as_journal()
                run.start()
                deadline = time.monotonic() + 10
                while "no AGW engine answers" not in run.stderr() and time.monotonic() < deadline:
                    time.sleep(0.05)
                if journal:
                    self.assertEqual(run.stderr().splitlines(), ["<%d>%s" % line for line in said])
                else:
                    self.assertEqual(run.stderr_lines(), [text for _, text in said])
                    self.assertTrue(all(UTC_TIME.match(line) for line in run.stderr().splitlines()), run.stderr())
                run.stop()

    def test_empty_palavoro_section_traces_level_1_only(self):
        run = self.start_on_free_8000("[PALAVORO]\r\nCALLSIGN=NOBODY-0\r\n")
        self.assert_waits_for_the_engine(run)
        lines = run.log_lines()
        self.assertIn("{PALAVORO} Root Area Created", lines)
        self.assertIn("{PALAVORO} Event <OnAGWError> AGWPE(NOBODY-0)", lines)
        self.assertTrue(lines[0].startswith("{PALAVORO} Start "), lines[0])
        self.assertEqual(lines[1], "{PALAVORO} Program Initialization")
        self.assertIn("{PALAVORO} L2 Object Creation Completed", lines)
        self.assertIn("{PALAVORO} Memory Control Block Initialized", lines)
        for level_3_or_4 in ("{L2} Set CallSign NOBODY-0", "{L2} Set Address 127.0.0.1", "{L2} Set TCP Port 8000"):
            self.assertNotIn(level_3_or_4, lines)
        self.assertFalse(any(l.startswith("{L2} Fired Event") for l in lines))
        self.assertFalse(any(l.startswith("{PALAVORO} <AddArea> Id(") for l in lines))
        self.assertNotIn(BEACON_LINE, lines)

    def test_disable_list_refuses_ports_1_and_3_only(self):
        run, peer = self.start_with_peer({"DISABLE": "1,3,x,0,101,,250"})
        lines = [l for l in run.log_lines() if not l.startswith("{PALAVORO} Start ")
                 and not l.startswith("{PALAVORO} Palavoro.INI: [PALAVORO] DISABLE=")]
        self.assertEqual(
            lines[:3],
            ["{CHAT} Port(1) Disabled", "{CHAT} Port(3) Disabled", "{PALAVORO} Program Initialization"],
        )
        self.assertEqual(len([l for l in lines if l.endswith(") Disabled")]), 2)

        refusal = "\r--- Connections not Allowed on this Port\r"
        for port, station in ((1, "N1AAA"), (3, "N3CCC")):
            self.assertEqual(self.connect(peer, port, station).text, refusal)
            self.assertEqual(peer.wait_for("d").call_to, station)
        for port, station in ((2, "N2BBB"), (4, "N4DDD")):
            welcome = self.connect(peer, port, station)
            self.assertEqual(welcome.text, "Welcome to the %s Chat Server\r" % SERVER)
            self.assertEqual(welcome.server_port, port)

    def test_createarea_yes_in_any_case_allows_new_areas(self):
        for value, allowed in (("yes", True), ("Y", False)):
            with self.subTest(CREATEAREA=value):
                run, peer = self.start_with_peer({"CREATEAREA": value})
                self.connect(peer, 1, "N1AAA")
                peer.send_line(1, "N1AAA", SERVER, "/NE Test")
                expected = "Created Area(Test)" if allowed else "Server do not allow creation of areas"
                peer.wait_for_data_to("N1AAA", contains=expected)
                run.stop()

    def test_lower_case_callsign_is_registered_upper_cased(self):
        run, peer = self.start_with_peer({"CALLSIGN": "n0srv-5"}, serve=False)
        registration = peer.wait_for("X")
        self.assertEqual(registration.call_from, "N0SRV-5")

    def test_areas_refuse_id_0_and_repeated_ids(self):
        areas = ["0=Zero", "5=Five", "x=Skipped", "5=Again", "7=Seven"]
        run, peer = self.start_with_peer(sections={"AREAS": areas})
        lines = run.log_lines()
        created = [l for l in lines if "Already defined" in l or l.startswith("{PALAVORO} Created Area(")]
        self.assertEqual(
            created,
            [
                "{PALAVORO} <AddArea> Area(0) Already defined, creation ignored",
                "{PALAVORO} Created Area(5) Description(Five)",
                "{PALAVORO} <AddArea> Area(5) Already defined, creation ignored",
                "{PALAVORO} Created Area(7) Description(Seven)",
            ],
        )

    def test_log_file_keeps_the_case_of_its_name(self):
        peer = self.peer()
        run = self.start(ini_text({"PALAVORO": {"TCP_PORT": peer.port, "LOGFILE": "MyTrace.log"}}))
        peer.accept()
        run.wait_for_log("{PALAVORO} Root Area Created", name="MyTrace.log")
        self.assertFalse(os.path.exists(os.path.join(run.workdir, "MYTRACE.LOG")))
        self.assertFalse(os.path.exists(run.log_path("Palavoro.LOG")))

    def test_bad_number_ends_with_a_clear_message(self):
        cases = [
            ({"PALAVORO": {"TCP_PORT": "abc"}}, "Palavoro.INI: [PALAVORO] TCP_PORT=abc is not a number"),
            ({"PALAVORO": {"TRACE": "high"}}, "Palavoro.INI: [PALAVORO] TRACE=high is not a number"),
            ({"PALAVORO": {"TIMEOUT": "10m"}}, "Palavoro.INI: [PALAVORO] TIMEOUT=10m is not a number"),
            ({"BEACON": {"EVERY": "often"}}, "Palavoro.INI: [BEACON] EVERY=often is not a number"),
            ({"AREAS": ["4294967296=Huge"]}, "Palavoro.INI: [AREAS] 4294967296=Huge"),
        ]
        for sections, message in cases:
            with self.subTest(message=message):
                peer = self.peer()
                sections = dict(sections)
                sections.setdefault("PALAVORO", {}).setdefault("TCP_PORT", peer.port)
                run = self.start(ini_text(sections))
                self.assert_ends(run, 1)
                self.assertIn(message, run.stderr())

    def test_agwpe_not_listening_ends_with_link_broken(self):
        run = self.start(ini_text({"PALAVORO": {"TCP_PORT": free_port(), "RECONNECT": "NOT"}}))
        self.assert_ends(run)
        self.assertIn("Link with AGWPE Broken", run.stderr())
        self.assertIn("{PALAVORO} Event <OnAGWError> AGWPE(NOBODY-0)", run.log_lines())

    def test_a_closed_standard_error_and_an_unwritable_log_do_not_stop_it(self):
        peer = self.peer()
        run = PalavoroRun(ini_text({"PALAVORO": {"TCP_PORT": peer.port, "LOGFILE": "/nonexistent/Palavoro.LOG"}}))
        self._runs.append(run)
        reader, writer = os.pipe()
        os.close(reader)
        try:
            run.process = subprocess.Popen(
                [palavoro_binary()], cwd=run.workdir, env=run.env, stdin=subprocess.DEVNULL, stderr=writer
            )
        finally:
            os.close(writer)
        peer.accept()
        peer.serve_startup()
        self.assertEqual(self.connect(peer, 1, "N1AAA").text, "Welcome to the NOBODY-0 Chat Server\r")
        self.assertTrue(run.running(), "ended with status %s" % run.process.returncode)

    def test_a_service_that_is_no_agw_engine_is_named_as_such(self):
        with socket.socket() as web:
            web.bind(("127.0.0.1", 0))
            web.listen()
            port = web.getsockname()[1]
            run = self.start(ini_text({"PALAVORO": {"TCP_PORT": port, "STATUS": "NOT"}}))
            web.settimeout(10)
            client, _ = web.accept()
            with client:
                client.sendall(b"HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n" + b" " * 64)
                message = "%s answered but not as an AGW engine (" % ("127.0.0.1:%d" % port)
                run.wait_for_log(lambda l: l.startswith("{PALAVORO} " + message))
        self.assertIn("Palavoro: " + message, run.stderr())
        self.assertTrue(run.running())

    def test_second_copy_is_refused_and_leaves_the_first_alone(self):
        first, peer = self.start_with_peer()
        with open(first.log_path(), "rb") as f:
            log_before = f.read()
        names_before = sorted(os.listdir(first.workdir))

        # Same working directory and INI: a copy that read either would show.
        second = self.start(None, workdir=first.workdir, instance=first.instance)
        self.assert_ends(second)
        self.assertIn(": Instance of Program Already Running (PID %d in %s)\n"
                      % (first.pid, os.path.realpath(first.workdir)), second.stderr())
        self.assertTrue(first.running())
        with open(first.log_path(), "rb") as f:
            self.assertEqual(f.read(), log_before)
        self.assertEqual(sorted(os.listdir(first.workdir)), names_before)

    def test_killed_copy_does_not_block_the_next_start(self):
        peer = self.peer()
        ini = ini_text({"PALAVORO": {"TCP_PORT": peer.port}})
        first = self.start(ini)
        peer.accept()  # past the guard
        first.signal(signal.SIGKILL)
        self.assertEqual(first.wait(10), -signal.SIGKILL)

        second = self.start(ini, instance=first.instance)
        peer.accept(timeout=10)  # the next copy got past the guard too
        self.assertTrue(second.running())

    def test_sigterm_and_sigint_end_like_shutdown_with_status_0(self):
        for number in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(signal=number):
                run, peer = self.start_with_peer()
                run.signal(number)
                self.assertEqual(run.wait(10), 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
