"""The command line of the real program: --help, --version, --dir and
arguments it does not know. Headless, against a scripted AGWPE peer on
127.0.0.1."""

import os
import unittest

from agwpeer import AgwPeer, PalavoroRun, ini_text

OLD_TRACE = b"an earlier run's trace\r\n"


def snapshot(directory):
    """Every file under `directory` with its contents."""
    files = {}
    for root, _, names in os.walk(directory):
        for name in names:
            path = os.path.join(root, name)
            with open(path, "rb") as f:
                files[os.path.relpath(path, directory)] = f.read()
    return files


class CommandLineTest(unittest.TestCase):
    def setUp(self):
        self.peer = AgwPeer()
        self.runs = []

    def tearDown(self):
        for run in self.runs:
            run.stop()
            run.cleanup()
        self.peer.close()

    def station_files(self):
        """A station that would go on the air at once if the program started."""
        return {
            "Palavoro.INI": ini_text({"PALAVORO": {"TCP_PORT": self.peer.port, "CALLSIGN": "N0SRV"}}),
            "Palavoro.LOG": OLD_TRACE,
            "Palavoro.USR": "",
        }

    def run_program(self, args, **kwargs):
        run = PalavoroRun(args=args, **kwargs)
        self.runs.append(run)
        run.start()
        return run, run.wait(10)

    def assert_engine_not_contacted(self):
        with self.assertRaises(TimeoutError):
            self.peer.accept(timeout=0.3)

    def test_help_and_version_answer_without_touching_the_station(self):
        # A running server holds the instance name and the station directory.
        first = PalavoroRun(files=self.station_files())
        self.runs.append(first)
        first.start()
        self.peer.accept()
        self.peer.serve_startup()
        # Idle from here on: the version answer is handled last.
        first.wait_for_log(lambda l: l.startswith("{PALAVORO} AGW Packet Engine Version="))
        before = snapshot(first.workdir)
        for args, expected in (
            (["--help"], "Usage: palavoro"),
            (["-h"], "Usage: palavoro"),
            (["--version"], "Palavoro "),
            (["-V"], "Palavoro "),
        ):
            with self.subTest(args=args):
                run, status = self.run_program(args, workdir=first.workdir, instance=first.instance)
                self.assertEqual(status, 0, run.stderr())
                self.assertTrue(run.stdout().startswith(expected), run.stdout())
                self.assertEqual(run.stderr(), "")
                self.assertEqual(snapshot(first.workdir), before)
        self.assertTrue(first.running())
        self.assertEqual(snapshot(first.workdir), before)

    def test_unknown_argument_prints_usage_and_exits_2(self):
        for args in (["--bogus"], ["station"], ["--dir"]):
            with self.subTest(args=args):
                run, status = self.run_program(args, files=self.station_files())
                self.assertEqual(status, 2)
                self.assertIn("Usage: palavoro", run.stderr())
                self.assertEqual(run.stdout(), "")
                self.assertEqual(snapshot(run.workdir), self.station_files_as_bytes())
        self.assert_engine_not_contacted()

    def station_files_as_bytes(self):
        return {k: v if isinstance(v, bytes) else v.encode() for k, v in self.station_files().items()}

    def test_dir_runs_the_server_in_that_directory(self):
        run = PalavoroRun(args=["--dir", "station"])
        self.runs.append(run)
        for name, content in self.station_files().items():
            run.write(os.path.join("station", name), content)
        run.start()
        self.peer.accept()
        station = os.path.join(run.workdir, "station")
        run.wait_for_log("{PALAVORO} Root Area Created", name=os.path.join("station", "Palavoro.LOG"))
        self.assertNotIn(OLD_TRACE, open(os.path.join(station, "Palavoro.LOG"), "rb").read())
        self.assertEqual(os.listdir(run.workdir), ["station"])

    def test_dir_that_does_not_exist_exits_2(self):
        run, status = self.run_program(["--dir", "missing"])
        self.assertEqual(status, 2)
        self.assertIn("--dir missing: No such file or directory", run.stderr())
        self.assertEqual(os.listdir(run.workdir), [])
        self.assert_engine_not_contacted()


if __name__ == "__main__":
    unittest.main(verbosity=2)
