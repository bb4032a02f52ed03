"""The user file survives the server being killed at any moment: a burst of
/NA and /P is written within a second, and the server is killed again and
again while it writes; each time the file is the one from before the burst or
the one after it, whole. Against a scripted AGWPE peer on 127.0.0.1."""

import os
import random
import signal
import time
import unittest

from agwpeer import AgwPeer, PalavoroRun, encode_frame, ini_text

SERVER = "N0SRV"
STATION = "N0USR-1"
KEY = "N0USR"
OTHERS = 300  # entries that must all be there afterwards
ROUNDS = 100
BURST = 60  # /NA and /P lines each, one frame each, sent in one go


def user_file(name, info):
    """The file before the burst, and as each change leaves it."""
    users = "".join("N%dAB=Name of station %d\r\n" % (i, i) for i in range(OTHERS))
    infos = "".join("N%dAB=Rig and QTH of station %d\r\n" % (i, i) for i in range(OTHERS))
    return ("[USERS]\r\n%s%s=%s\r\n[INFO]\r\n%s%s=%s\r\n" % (users, KEY, name, infos, KEY, info)).encode("latin-1")


def line(text):
    return encode_frame("D", 0, 0xF0, STATION, SERVER, text + "\r")


class UserFileTest(unittest.TestCase):
    def test_a_killed_server_leaves_the_old_file_or_the_new_one_whole(self):
        names = ["Old name"] + ["Name %d" % i for i in range(BURST)]
        infos = ["Old info"] + ["Info %d" % i for i in range(BURST)]
        whole = {user_file(n, i) for n in names for i in infos}
        before = user_file(names[0], infos[0])
        burst = b"".join(line("/NA Name %d" % i) + line("/P Info %d" % i) for i in range(BURST))
        mid_write = 0
        random.seed(13)
        with AgwPeer() as peer:
            ini = ini_text({"PALAVORO": {"TCP_PORT": peer.port, "CALLSIGN": SERVER, "TRACE": 1}})
            for round in range(ROUNDS):
                with self.subTest(round=round), PalavoroRun(ini, files={"Palavoro.USR": before}) as run:
                    path = os.path.join(run.workdir, "Palavoro.USR")
                    peer.accept()
                    peer.serve_startup()
                    peer.connect_station(1, STATION, SERVER)
                    peer.wait_for_data_to(STATION, contains="Hello Old name!")
                    held = open(path, "rb")  # while open, its inode is not given to the new file
                    self.addCleanup(held.close)
                    old = os.fstat(held.fileno()).st_ino
                    peer.send_raw(burst)
                    # The write comes within a second; the kill is aimed at it:
                    # once its new file is there, before or after the rename.
                    time.sleep(0.5)
                    deadline = time.monotonic() + 5
                    while not os.path.exists(path + ".new") and os.stat(path).st_ino == old:
                        self.assertLess(time.monotonic(), deadline, "the burst was not written")
                    if round % 4 == 3:  # now and then later, after the rename too
                        time.sleep(random.uniform(0, 0.002))
                    run.signal(signal.SIGKILL)
                    self.assertEqual(run.wait(10), -signal.SIGKILL)
                    with open(path, "rb") as f:
                        content = f.read()
                    self.assertTrue(content in whole, "cut short or mixed, ending %r" % content[-100:])
                    mid_write += os.path.exists(path + ".new")
        # Unless most kills land in the middle of a write, the test shows nothing.
        self.assertGreater(mid_write, ROUNDS // 2)


if __name__ == "__main__":
    unittest.main(verbosity=2)
