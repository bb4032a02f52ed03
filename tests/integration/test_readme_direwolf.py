"""The README's Dire Wolf configuration is the shipped examples/direwolf.conf,
and Dire Wolf reads it as it stands: a sysop pastes it."""

import os
import re
import shutil
import subprocess
import tempfile
import unittest

SOURCE = os.environ["PALAVORO_SOURCE"]


def read(name):
    with open(os.path.join(SOURCE, name), encoding="utf-8") as f:
        return f.read()


def fenced_blocks(text):
    return re.findall(r"^```[a-z]*\n(.*?)^```$", text, re.M | re.S)


class ReadmeDireWolfTest(unittest.TestCase):
    def setUp(self):
        self.shipped = read(os.path.join("examples", "direwolf.conf"))
        first = self.shipped.splitlines()[0]
        blocks = [b for b in fenced_blocks(read("README.md")) if b.startswith(first + "\n")]
        self.assertEqual(len(blocks), 1, "one block in the README starts like the shipped file")
        self.block = blocks[0]

    def test_the_block_is_the_shipped_file(self):
        self.assertEqual(self.block, self.shipped)

    def test_dire_wolf_reads_the_block_before_it_looks_for_the_sound_card(self):
        if not shutil.which("direwolf"):
            if os.environ.get("CI") == "true":
                self.fail("direwolf is not installed")
            self.skipTest("direwolf is not installed")
        with tempfile.TemporaryDirectory(prefix="palavoro-dw-") as scratch:
            path = os.path.join(scratch, "direwolf.conf")
            with open(path, "w") as f:
                f.write(self.block)
            # No such card here: Dire Wolf reads the whole file, then fails on the device.
            out = subprocess.run(["direwolf", "-c", path, "-t", "0"], stdin=subprocess.DEVNULL, cwd=scratch,
                                 capture_output=True, text=True, timeout=60)
        said = out.stdout + out.stderr
        self.assertIn("Reading config file " + path, said)
        self.assertNotRegex(said, r"(?im)\bline \d+:|unrecognized|invalid|ignored")
        self.assertIn("Audio device for both receive and transmit: plughw:1,0  (channel 0)", said)


if __name__ == "__main__":
    unittest.main(verbosity=2)
