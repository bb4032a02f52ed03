"""The command line of the real program: --help, --version, --dir, --check and
arguments it does not know. Headless, against a scripted AGWPE peer on
127.0.0.1."""

import os
import re
import unittest

from agwpeer import AgwPeer, PalavoroRun, free_port, ini_text, private_network

FATAL = "Palavoro 0.10 Initialization Failure: "


def snapshot(directory):
    """Every file under `directory` with its contents."""
    files = {}
    for root, _, names in os.walk(directory):
        for name in names:
            # The running server's control socket is no file to read.
            if name == "ctl.sock":
                continue
            with open(os.path.join(root, name), "rb") as f:
                files[os.path.relpath(f.name, directory)] = f.read()
    return files


class CommandLineTest(unittest.TestCase):
    def setUp(self):
        self.peer = AgwPeer()
        self.addCleanup(self.peer.close)
        # A station that would go on the air at once if the program started.
        self.station = {
            "Palavoro.INI": ini_text({"PALAVORO": {"TCP_PORT": self.peer.port, "CALLSIGN": "N0SRV"}}).encode(),
            "Palavoro.LOG": b"an earlier run's trace\r\n",
        }

    def run_program(self, args, start=True, **kwargs):
        run = PalavoroRun(args=args, **kwargs)
        self.addCleanup(run.cleanup)
        self.addCleanup(run.stop)
        return run.start() if start else run

    def test_help_and_version_answer_without_touching_a_running_station(self):
        first = self.run_program([], files=self.station)
        self.peer.accept()
        self.peer.serve_startup()
        # Idle from here on: the version answer is handled last.
        first.wait_for_log(lambda l: l.startswith("{PALAVORO} AGW Packet Engine Version="))
        before = snapshot(first.workdir)
        for args, expected in ((["--help"], "Usage: palavoro"), (["-h"], "Usage: palavoro"),
                               (["--version"], "Palavoro "), (["-V"], "Palavoro ")):
            with self.subTest(args=args):
                run = self.run_program(args, workdir=first.workdir, instance=first.instance)
                self.assertEqual(run.wait(10), 0, run.stderr())
                self.assertTrue(run.stdout().startswith(expected), run.stdout())
                self.assertEqual(run.stderr(), "")
                self.assertEqual(snapshot(first.workdir), before)
        self.assertTrue(first.running())

    def test_unusable_arguments_exit_2_before_starting(self):
        for args, message in ((["--bogus"], "unknown argument '--bogus'"), (["station"], "unknown argument"),
                              (["--dir"], "--dir needs DIR"), (["--dir", "missing"], "--dir missing: No such file")):
            with self.subTest(args=args):
                run = self.run_program(args, files=self.station)
                self.assertEqual(run.wait(10), 2)
                self.assertIn(message, run.stderr())
                self.assertEqual(run.stdout(), "")
                self.assertEqual(snapshot(run.workdir), self.station)
        with self.assertRaises(TimeoutError):
            self.peer.accept(timeout=0.3)

    def test_check_reports_every_problem_and_starts_nothing(self):
        with open(os.path.join(os.environ["PALAVORO_SOURCE"], "examples", "Palavoro.INI"), "rb") as f:
            sample = f.read()
        bad = ini_text({"PALAVORO": {"TCP_PORT": "80a", "CALLSIGN": "N0CALL-99", "TRACE": "0", "IDLE": "soon",
                                     "COLOUR": "blue"}}).encode()
        for files, status, out, problems in (
                (self.station, 0, "Palavoro.INI: OK\n", []),
                (dict(self.station, **{"Palavoro.INI": sample}), 1, "", [
                    "Palavoro.INI: [PALAVORO] CALLSIGN=N0CALL-5 is the sample's callsign: set your own before going on"
                    " the air",
                    "Palavoro.INI: 1 problem"]),
                (dict(self.station, **{"Palavoro.INI": bad}), 1, "", [
                    "Palavoro.INI: [PALAVORO] TCP_PORT=80a is not a number",
                    "Palavoro.INI: [PALAVORO] TRACE=0 is not a level from 1 to 5",
                    "Palavoro.INI: [PALAVORO] CALLSIGN=N0CALL-99 is not an AX.25 callsign"
                    " (1 to 6 letters or digits, then -0 to -15)",
                    "Palavoro.INI: [PALAVORO] IDLE=soon is not a number",
                    "Palavoro.INI: [PALAVORO] COLOUR is not a known key",
                    "Palavoro.INI: 5 problems"])):
            with self.subTest(ini=files["Palavoro.INI"][:40]):
                run = self.run_program(["--dir", "station", "--check"], start=False)
                for name, content in files.items():
                    run.write(os.path.join("station", name), content)
                before = snapshot(run.workdir)
                run.start()
                self.assertEqual(run.wait(10), status, run.stderr())
                self.assertEqual(run.stdout(), out)
                self.assertEqual(run.stderr().splitlines(), problems)
                self.assertEqual(snapshot(run.workdir), before)
        with self.assertRaises(TimeoutError):
            self.peer.accept(timeout=0.3)

    def check_and_start(self, files, prefix=None, reword=lambda line: line):
        """What --check says (its count line left out) and whether start-up refused, once start-up is seen to
        say the same, both in one station directory (self.workdir), each line through `reword`; a server
        that starts is stopped once Root is made."""
        check = self.run_program(["--check"], files=files, start=False)
        run = self.run_program([], workdir=check.workdir, start=False)
        for each in (check, run):
            each.prefix = prefix or []
            each.start()
        self.assertEqual(check.wait(10), 1)
        refused = "{PALAVORO} Start-up refused: "
        stops = run.wait_for_log(lambda l: l == "{PALAVORO} Root Area Created" or l.startswith(refused))[-1]
        stops = stops.startswith(refused)
        if stops:
            self.assertEqual(run.wait(10), 1)
        run.stop()
        self.workdir = os.path.realpath(run.workdir)
        said, started = ([reword(l) for l in each.stderr_lines()] for each in (check, run))
        said = said[:-1]
        self.assertTrue(said)
        if stops:
            self.assertTrue(started[-1].startswith(FATAL), started)
            self.assertEqual(sorted(started[:-1] + [started[-1][len(FATAL):]]), sorted(said))
        else:
            self.assertEqual([l for l in started if l.startswith("Palavoro.INI: ")], said)
        return said, stops

    def test_start_up_says_what_the_check_says(self):
        for extra, stops in (({"CREATEAREA": "MAYBE", "MAXAREAS": "-1", "[BEACNO]": None}, False),
                             ({"TIMEOUT": ["0", "8000"], "[AREAS]": "x=Test\r\n0=Zero"}, False),
                             ({"IP_ADDRESS": "not.an.ip"}, True),
                             ({"CALLSIGN": "N0CALL-16", "BELL": "maybe"}, True),
                             ({"STATUS": "web", "TCP_PORT": "x", "IDLE": "-5"}, True)):
            with self.subTest(extra=extra):
                base = {"TCP_PORT": str(self.peer.port), "CALLSIGN": "N0SRV", "STATUS": "NOT"}
                lines = ["[PALAVORO]"] + ["%s=%s" % (k, v) for k, v in base.items() if k not in extra]
                tail = []
                for key, value in extra.items():
                    if key.startswith("["):
                        tail += [key] + ([value] if value else [])
                    else:
                        lines += ["%s=%s" % (key, v) for v in (value if isinstance(value, list) else [value])]
                station = {"Palavoro.INI": "\r\n".join(lines + tail + [""]).encode()}
                self.assertEqual(self.check_and_start(station)[1], stops)
                self.peer.close_connection()

    def test_what_would_go_on_the_air_is_checked_alike_by_the_check_and_start_up(self):
        engine = "TCP_PORT=%d\r\nSTATUS=NOT\r\n" % free_port()
        cases = (
            ("a mistyped CALLSIGN", "[PALAVORO]\r\nCALLSING=N0SYS-5\r\n" + engine, True, [
                "Palavoro.INI: [PALAVORO] CALLSIGN is missing: the server does not go on the air without the"
                " station's callsign",
                "Palavoro.INI: [PALAVORO] CALLSING is not a known key"]),
            ("no Palavoro.INI", None, True, [
                "%s/Palavoro.INI: no such file, so [PALAVORO] CALLSIGN is missing: the server does not go on the air"
                " without the station's callsign"]),
            ("the sample's callsign", "[PALAVORO]\r\nCALLSIGN=N0CALL-5\r\n" + engine, False, [
                "Palavoro.INI: [PALAVORO] CALLSIGN=N0CALL-5 is the sample's callsign: set your own before going on"
                " the air"]),
            ("the node's name as the engine's host", "[PALAVORO]\r\nCALLSIGN=N0SRV-5\r\nHOSTNAME=mynode\r\n" + engine,
             False, [
                 "Palavoro.INI: [PALAVORO] HOSTNAME=mynode does not resolve (...): this key is the AGW engine's host;"
                 " this node's name on the network is [CONVERS] HOSTNAME"]),
            ("a callsign too short to name the node", "[PALAVORO]\r\nCALLSIGN=K1A-5\r\n" + engine
             + "[LINKS]\r\nwam1=*\r\n", True, [
                 "Palavoro.INI: [CONVERS] HOSTNAME is not set, and the name taken from CALLSIGN, k1a, is too short (4"
                 " to 10 letters, digits, '.' or '-', one a letter): [CONVERS] HOSTNAME sets this node's name on the"
                 " network"]),
        )
        for what, ini, stops, expected in cases:
            with self.subTest(what):
                # No name is looked up outside a network of the test's own.
                if "HOSTNAME=" in (ini or "") and not private_network():
                    self.skipTest("unshare cannot give a network of its own: no host name is looked up outside one")
                files = {} if ini is None else {"Palavoro.INI": ini.encode()}
                # The resolver's words are its own.
                said, refused = self.check_and_start(files, private_network(), lambda line: re.sub(
                    r"does not resolve \([^)]*\)", "does not resolve (...)", line))
                self.assertEqual((said, refused), ([line.replace("%s", self.workdir) for line in expected], stops))

    def test_dir_runs_the_server_in_that_directory(self):
        run = PalavoroRun(args=["--dir", "station"])
        self.addCleanup(run.cleanup)
        self.addCleanup(run.stop)
        for name, content in self.station.items():
            run.write(os.path.join("station", name), content)
        run.start()
        self.peer.accept()
        lines = run.wait_for_log("{PALAVORO} Root Area Created", name=os.path.join("station", "Palavoro.LOG"))
        self.assertNotIn("an earlier run's trace", lines)
        self.assertEqual(os.listdir(run.workdir), ["station"])


if __name__ == "__main__":
    unittest.main(verbosity=2)
