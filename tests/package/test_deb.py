"""The Debian package that cpack makes of this build: its files, control data
and systemd unit, lintian's verdict, the manual page, the sample Dire Wolf
configuration, and (as root) what installing, running, upgrading and removing
it do, in a private mount namespace whose changes vanish with it."""

import os
import re
import shutil
import subprocess
import tempfile
import unittest

VERSION = os.environ["PALAVORO_VERSION"]
FILES = [
    "etc/palavoro/Palavoro.INI",
    "usr/bin/palavoro",
    "usr/lib/systemd/system/palavoro.service",
    "usr/share/doc/palavoro/README.md",
    "usr/share/doc/palavoro/changelog.Debian.gz",
    "usr/share/doc/palavoro/copyright",
    "usr/share/lintian/overrides/palavoro",
    "usr/share/man/man1/palavoro.1.gz",
    "usr/share/palavoro/Palavoro.INI",
    "usr/share/palavoro/TEXT/GOODBYE.INF",
    "usr/share/palavoro/TEXT/NEWS.INF",
    "usr/share/palavoro/TEXT/PALAVORO.INF",
    "usr/share/palavoro/direwolf.conf",
]
# What the program links, and adduser for the maintainer scripts; no build,
# test or X11 tools.
RUNTIME_DEPENDS = re.compile(
    r"adduser|libc6|libgcc-s1|libstdc\+\+6|libsystemd0|libqt6(core|network|gui|widgets)6|libmicrohttpd12|libcrypt1")


def run(*command, **kwargs):
    return subprocess.run(command, capture_output=True, text=True, **kwargs)


def need(tool):
    """Under CI, where the test tools are installed, a missing one is a failure."""
    if shutil.which(tool):
        return
    if os.environ.get("CI") == "true":
        raise AssertionError("%s is not installed" % tool)
    raise unittest.SkipTest("%s is not installed" % tool)


class DebPackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.mkdtemp(prefix="palavoro-deb-")
        made = run(os.environ["CPACK"], "-G", "DEB", "--config", os.environ["CPACK_CONFIG"], "-B", cls.scratch)
        if made.returncode != 0:
            raise AssertionError("cpack failed:\n" + made.stdout + made.stderr)
        arch = run("dpkg", "--print-architecture", check=True).stdout.strip()
        cls.deb = os.path.join(cls.scratch, "palavoro_%s_%s.deb" % (VERSION, arch))
        cls.root = os.path.join(cls.scratch, "root")
        run("dpkg-deb", "-x", cls.deb, cls.root, check=True)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.scratch, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.root, name)

    def read(self, name):
        with open(self.path(name), encoding="latin-1") as f:
            return f.read()

    def test_files_and_control_data(self):
        listing = run("dpkg-deb", "-c", self.deb, check=True).stdout.splitlines()
        files = sorted(line.split()[-1][2:] for line in listing if line.startswith("-"))
        self.assertEqual(files, FILES)

        fields = {
            name: run("dpkg-deb", "-f", self.deb, name, check=True).stdout.strip()
            for name in ("Package", "Version", "Depends")
        }
        self.assertEqual(fields["Package"], "palavoro")
        description = run("dpkg-deb", "-f", self.deb, "Description", check=True).stdout.splitlines()
        self.assertEqual(description[0], "chat server for amateur packet radio")
        self.assertGreater(len(description), 3)
        self.assertTrue(all(line.startswith(" ") and len(line) <= 80 for line in description[1:]), description)
        self.assertEqual(fields["Version"], VERSION)
        depends = [re.split(r"[\s(]", d.strip())[0] for d in fields["Depends"].split(",")]
        self.assertEqual([d for d in depends if not RUNTIME_DEPENDS.fullmatch(d)], [])
        for library in ("libqt6core6", "libqt6network6", "libqt6gui6", "libqt6widgets6", "libmicrohttpd12"):
            self.assertIn(library, depends)

        control = os.path.join(self.scratch, "control")
        run("dpkg-deb", "-e", self.deb, control, check=True)
        for script in ("postinst", "prerm", "postrm"):
            path = os.path.join(control, script)
            self.assertEqual(os.stat(path).st_mode & 0o777, 0o755, script)
            self.assertEqual(run("sh", "-n", path).returncode, 0, script)
        with open(os.path.join(control, "conffiles")) as f:
            self.assertEqual(f.read(), "/etc/palavoro/Palavoro.INI\n")

    def test_lintian_finds_no_error_and_no_warning_left_without_a_reason(self):
        need("lintian")
        verdict = run("lintian", "--fail-on", "error,warning", self.deb, timeout=300)
        said = [l for l in verdict.stdout.splitlines() if re.match(r"[EW]: ", l)]
        self.assertEqual((verdict.returncode, said), (0, []), verdict.stdout + verdict.stderr)
        with open(self.path("usr/share/lintian/overrides/palavoro")) as f:
            lines = f.read().splitlines()
        for number, line in enumerate(lines):
            if line.startswith("palavoro: "):
                self.assertTrue(number > 0 and lines[number - 1].startswith("# "), "no reason for " + line)

    def test_manual_page_shows_and_names_every_key(self):
        need("man")
        page = run("man", "--warnings", "-l", self.path("usr/share/man/man1/palavoro.1.gz"),
                   env=dict(os.environ, MANWIDTH="100", MAN_KEEP_FORMATTING="", LC_ALL="C.UTF-8"))
        self.assertEqual((page.returncode, page.stderr), (0, ""))
        text = re.sub(r".\x08", "", page.stdout)
        for heading in ("NAME", "SYNOPSIS", "OPTIONS", "STATION DIRECTORY", "CONFIGURATION", "FILES", "SIGNALS",
                        "EXIT STATUS"):
            self.assertRegex(text, r"(?m)^%s$" % heading)
        for option in ("--dir", "--check", "--help", "--version"):
            self.assertIn(option, text)
        # Every key of the README's table, with its default.
        with open(os.path.join(os.environ["PALAVORO_SOURCE"], "README.md")) as f:
            rows = re.findall(r"^\| (PALAVORO|BEACON|CONVERS|TCPUSERS) \| ([A-Z_, ]+) \| ([^|]*) \|", f.read(), re.M)
        self.assertGreater(len(rows), 20)
        for _, keys, default in rows:
            for key in keys.split(", "):
                self.assertRegex(text, r"(?m)^ {7}([A-Z_]+, )*%s\b" % key)

    def test_program_is_stripped_and_runs(self):
        sections = run("readelf", "-S", "-W", self.path("usr/bin/palavoro"), check=True).stdout
        self.assertEqual(re.findall(r"\.symtab|\.debug_\w+", sections), [])
        answer = run(self.path("usr/bin/palavoro"), "--version", timeout=30)
        self.assertEqual((answer.returncode, answer.stdout), (0, "Palavoro %s\n" % VERSION))

    def test_unit_verifies(self):
        unit = self.read("usr/lib/systemd/system/palavoro.service")
        self.assertIn("\nExecStart=/usr/bin/palavoro\n", unit)
        self.assertIn("\nExecReload=/bin/kill -HUP $MAINPID\n", unit)
        # systemd-analyze wants the program where ExecStart names it.
        copy = os.path.join(self.scratch, "unit", "palavoro.service")
        os.makedirs(os.path.dirname(copy))
        with open(copy, "w") as f:
            f.write(unit.replace("\nExecStart=/usr/bin/", "\nExecStart=%s/usr/bin/" % self.root))
        verify = run("systemd-analyze", "verify", "--man=no", copy)
        self.assertEqual((verify.returncode, verify.stdout + verify.stderr), (0, ""))
        # 2.0 on systemd's scale of 0 (locked down) to 10 (no protection).
        security = run("systemd-analyze", "security", "--offline=true", "--threshold=20", "--no-pager", copy)
        self.assertEqual(security.returncode, 0, security.stdout + security.stderr)

    @unittest.skipUnless(shutil.which("direwolf"), "direwolf is not installed")
    def test_direwolf_reads_the_sample_configuration(self):
        conf = self.read("usr/share/palavoro/direwolf.conf")
        agw_port = re.search(r"^AGWPORT (\d+)$", conf, re.M).group(1)
        self.assertIn("\nTCP_PORT=%s\n" % agw_port, self.read("usr/share/palavoro/Palavoro.INI"))
        # No sound card, radio or network here: audio from standard input, no PTT, no AGW port.
        trial = re.sub(r"^ADEVICE .*$", "ADEVICE stdin null", conf, flags=re.M)
        trial = re.sub(r"^(PTT|AGWPORT) .*$", lambda m: "AGWPORT 0" if m.group(1) == "AGWPORT" else "", trial, flags=re.M)
        path = os.path.join(self.scratch, "direwolf.conf")
        with open(path, "w") as f:
            f.write(trial)
        out = run("direwolf", "-c", path, "-t", "0", stdin=subprocess.DEVNULL, timeout=30, cwd=self.scratch)
        self.assertNotRegex(out.stdout + out.stderr, r"(?i)line \d+|error")
        self.assertIn("Channel 0: 1200 baud", out.stdout)

    def test_install_upgrade_and_purge(self):
        if os.geteuid() != 0 or run("unshare", "--mount", "true").returncode != 0:
            self.skipTest("installing in a private mount namespace needs root")
        script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "install_in_namespace.sh")
        out = run("unshare", "--mount", "bash", script, self.deb, self.scratch, timeout=300)
        if "overlay unavailable" in out.stdout:
            self.skipTest("no overlay file system here")
        self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
        report = dict(line.split(" ", 1) for line in out.stdout.splitlines())

        self.assertRegex(report["user"], r"^palavoro:x:\d+:\d+:[^:]*:/var/lib/palavoro:/usr/sbin/nologin$")
        owned = "palavoro:palavoro "
        self.assertEqual(
            report["station"].split("|"),
            [owned + "750 .", "root:root 777 Palavoro.INI/etc/palavoro/Palavoro.INI", owned + "640 Palavoro.USR",
             owned + "750 TEXT"]
            + [owned + "640 TEXT/" + name for name in ("GOODBYE.INF", "NEWS.INF", "PALAVORO.INF")],
        )
        # It may hold the engine's password: the service's group reads it, no one else.
        self.assertEqual(report["conffile"], "root:palavoro 640")
        # The sample's callsign is no one's: the check says so until the sysop sets one.
        self.assertEqual(report["check"], "Palavoro.INI: [PALAVORO] CALLSIGN=N0CALL-5 is the sample's callsign: set "
                                          "your own before going on the air|Palavoro.INI: 1 problem")
        self.assertEqual(report["ran"], "0 1 no AGW engine answers at 127.0.0.1:9")
        # The unit's reload line reached the server; the service's user may use ctl.sock, nobody else.
        self.assertEqual(report["ctl"], "1 palavoro:palavoro 660 0 1")
        # Upgrading keeps the station and the conffile as the sysop left them;
        # purging keeps the station too, without the link that led nowhere, and
        # removes the links of systemctl enable.
        self.assertEqual(report["upgraded"], "TCP_PORT=9 root:palavoro 640 GOODBYE.INF PALAVORO.INF")
        self.assertEqual(report["purged"], "Palavoro.LOG Palavoro.USR TEXT etc:gone links:")
        self.assertEqual(report["own"], "regular file 1")


if __name__ == "__main__":
    unittest.main(verbosity=2)
