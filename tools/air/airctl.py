"""Brings a simulated radio channel with N Dire Wolf nodes up and down (air-up, air-down).

Everything lives in one directory: nodeI.conf, nodeI.log, nodeI.tx/.rx FIFOs,
.asoundrc (Dire Wolf runs with HOME there, so ALSA reads it and nothing else),
air.log (the channel), ports (one AGW port a line) and pids ("PID ROLE" lines).
"""

import fcntl
import os
import shutil
import signal
import socket
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
CHANNEL = os.path.join(HERE, "channel.py")

# Per data rate: Dire Wolf's audio sample rate, then TXDELAY, TXTAIL and the
# channel-access step, in its 10 ms units. There is no radio to key and no squelch
# to open, so the delays only need to cover the demodulator locking on. A node
# notices another's carrier 40-70 ms after it starts at 1200 baud (demodulator,
# FIFO, channel tick), so two nodes that key up closer together than that collide;
# the step keeps every node's start at least that far from every other's.
TIMING = {
    1200: (24000, 5, 2, 10),
    9600: (48000, 3, 2, 4),
}

START_TIMEOUT = 30.0
STOP_TIMEOUT = 5.0


class AirError(Exception):
    pass


def frack(nodes, baud):
    # T1 must cover both ends' wait for the channel as well as the frames, and that
    # wait grows with the number of nodes; too short a T1 resends a SABM after the
    # UA is on its way, which resets the fresh link.
    if baud >= 9600:
        return min(15, max(1, nodes - 1))
    return min(15, max(2, 2 * (nodes - 1)))


def node_conf(index, nodes, baud, base_port, extra):
    sample_rate, txdelay, txtail, step = TIMING[baud]
    lines = [
        "ADEVICE stdin airtx%d" % index,
        "ARATE %d" % sample_rate,
        "ACHANNELS 1",
        "CHANNEL 0",
        "MYCALL AIR%d" % index,
        "MODEM %d" % baud,
        "TXDELAY %d" % txdelay,
        "TXTAIL %d" % txtail,
        # Fixed priorities instead of p-persistence: once the channel clears, node i
        # waits i steps and then keys up at once, so a lower node that keyed up first
        # is always heard in time. Random slots collide instead: Dire Wolf never seeds
        # rand() and its slot grid lines up on every node, and on a channel where
        # everyone hears everyone there is nothing for the randomness to buy.
        "PERSIST 255",
        "SLOTTIME %d" % step,
        "DWAIT %d" % (index * step),
        "FRACK %d" % frack(nodes, baud),
        # Straight to SABM (v2.0): no SABME attempt and no XID exchange first.
        "MAXV22 0",
        "AGWPORT %d" % (base_port + index),
        "KISSPORT 0",
    ]
    return "\n".join(lines + list(extra)) + "\n"


def asoundrc(directory, nodes):
    blocks = []
    for i in range(nodes):
        path = os.path.join(directory, "node%d.tx" % i)
        blocks.append(
            'pcm.airtx%d {\n    type file\n    slave.pcm "null"\n    file "%s"\n    format "raw"\n}\n' % (i, path)
        )
    return "\n".join(blocks)


def port_free(port):
    # Dire Wolf binds the AGW port on every interface, so any listener on it
    # anywhere would make it fail.
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    try:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind(("", port))
        s.listen(1)
        return True
    except OSError:
        return False
    finally:
        s.close()


def port_accepts(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=0.5):
            return True
    except OSError:
        return False


def read_pids(directory):
    entries = []
    with open(os.path.join(directory, "pids")) as f:
        for line in f:
            fields = line.split()
            if len(fields) == 2 and fields[0].isdigit():
                entries.append((int(fields[0]), fields[1]))
    return entries


def process_state(pid):
    """The process's state letter, or None when it is gone."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            stat = f.read()
    except OSError:
        return None
    return stat[stat.rfind(")") + 2 :].split()[0]


def alive(pid):
    state = process_state(pid)
    return state is not None and state not in ("Z", "X")


def is_ours(pid, role, directory):
    """Guards against a recycled PID: the command line must still be the one air-up started."""
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            argv = f.read().split(b"\0")
    except OSError:
        return False
    args = [a.decode(errors="replace") for a in argv]
    if role == "channel":
        return CHANNEL in args and directory in args
    conf = os.path.join(directory, role + ".conf")
    return any(os.path.basename(a) == "direwolf" for a in args[:1]) and conf in args


def stop(pids, say):
    for pid in pids:
        try:
            os.kill(pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
    deadline = time.monotonic() + STOP_TIMEOUT
    while time.monotonic() < deadline and any(alive(p) for p in pids):
        time.sleep(0.05)
    for pid in pids:
        if alive(pid):
            say("process %d did not stop on SIGTERM; killing it" % pid)
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass


def down(directory, say=lambda text: print("air-down: " + text, file=sys.stderr)):
    directory = os.path.abspath(directory)
    pids_file = os.path.join(directory, "pids")
    if not os.path.exists(pids_file):
        raise AirError("%s has no pids file; nothing to stop" % directory)
    entries = read_pids(directory)
    ours = []
    for pid, role in entries:
        if is_ours(pid, role, directory):
            ours.append((pid, role))
        elif alive(pid):
            say("process %d is no longer %s; left alone" % (pid, role))
    # Nodes first, so that none of them sees its receive audio end while it runs.
    stop([p for p, r in ours if r != "channel"], say)
    stop([p for p, r in ours if r == "channel"], say)
    left = [p for p, _ in ours if alive(p)]
    if left:
        raise AirError("processes %s are still running" % " ".join(map(str, left)))
    for name in os.listdir(directory):
        if name.endswith((".tx", ".rx")) and name.startswith("node"):
            os.unlink(os.path.join(directory, name))
    for name in ("ports", "pids"):
        path = os.path.join(directory, name)
        if os.path.exists(path):
            os.unlink(path)


def wait_for_log(path, text, proc, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            return False
        try:
            with open(path) as f:
                if text in f.read():
                    return True
        except OSError:
            pass
        time.sleep(0.05)
    return False


def tail(path, lines=5):
    try:
        with open(path, errors="replace") as f:
            return "".join(f.readlines()[-lines:])
    except OSError:
        return ""


def up(directory, nodes=2, base_port=8010, baud=1200, extra=(), direwolf=None):
    """Starts the channel and the nodes; returns the AGW ports. Raises AirError with one line of reason."""
    direwolf = direwolf or shutil.which("direwolf")
    if not direwolf:
        raise AirError("direwolf is not installed (apt-get install direwolf)")
    if baud not in TIMING:
        raise AirError("unsupported rate %d (use %s)" % (baud, " or ".join(map(str, sorted(TIMING)))))
    if not 1 <= nodes <= 16:
        raise AirError("--nodes must be between 1 and 16")
    ports = [base_port + i for i in range(nodes)]
    if ports[0] < 1024 or ports[-1] > 65535:
        raise AirError("AGW ports %d-%d are out of range" % (ports[0], ports[-1]))
    directory = os.path.abspath(directory)
    if any(c in directory for c in '"\\\n'):
        raise AirError("directory name must not hold quotes, backslashes or newlines")
    if os.path.exists(os.path.join(directory, "pids")):
        raise AirError("%s has a pids file: a channel may still be running there (air-down it first)" % directory)
    busy = [p for p in ports if not port_free(p)]
    if busy:
        raise AirError("port %d is already in use" % busy[0])

    os.makedirs(directory, exist_ok=True)
    sample_rate = TIMING[baud][0]
    for i in range(nodes):
        for end in ("tx", "rx"):
            path = os.path.join(directory, "node%d.%s" % (i, end))
            if os.path.lexists(path):
                os.unlink(path)
            os.mkfifo(path, 0o600)
        with open(os.path.join(directory, "node%d.conf" % i), "w") as f:
            f.write(node_conf(i, nodes, baud, base_port, extra))
    with open(os.path.join(directory, ".asoundrc"), "w") as f:
        f.write(asoundrc(directory, nodes))
    with open(os.path.join(directory, "ports"), "w") as f:
        f.write("".join("%d\n" % p for p in ports))

    pids_path = os.path.join(directory, "pids")
    pids = open(pids_path, "w")

    def record(proc, role):
        pids.write("%d %s\n" % (proc.pid, role))
        pids.flush()

    try:
        air_log = os.path.join(directory, "air.log")
        # A fresh log: an old "channel ready" must not be taken for this run's.
        with open(air_log, "w") as errors:
            channel = subprocess.Popen(
                [sys.executable, CHANNEL, directory, "--nodes", str(nodes), "--sample-rate", str(sample_rate),
                 "--log", air_log],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=errors, cwd=directory,
                start_new_session=True)
        record(channel, "channel")
        if not wait_for_log(air_log, "channel ready", channel, START_TIMEOUT):
            raise AirError("the channel did not start: " + tail(air_log, 1).strip())

        env = dict(os.environ, HOME=directory)
        env.pop("ALSA_CONFIG_PATH", None)
        procs = []
        for i in range(nodes):
            rx = os.open(os.path.join(directory, "node%d.rx" % i), os.O_RDONLY | os.O_NONBLOCK)
            fcntl.fcntl(rx, fcntl.F_SETFL, fcntl.fcntl(rx, fcntl.F_GETFL) & ~os.O_NONBLOCK)
            log_path = os.path.join(directory, "node%d.log" % i)
            with open(log_path, "wb") as log:
                proc = subprocess.Popen(
                    [direwolf, "-c", os.path.join(directory, "node%d.conf" % i), "-t", "0", "-T", "%T", "-q", "d"],
                    stdin=rx, stdout=log, stderr=subprocess.STDOUT, cwd=directory, env=env,
                    start_new_session=True)
            os.close(rx)
            record(proc, "node%d" % i)
            procs.append((proc, log_path, ports[i]))

        deadline = time.monotonic() + START_TIMEOUT
        waiting = list(procs)
        while waiting:
            for proc, log_path, port in list(waiting):
                if proc.poll() is not None:
                    raise AirError("direwolf for AGW port %d exited (see %s): %s"
                                   % (port, log_path, tail(log_path, 1).strip() or "no output"))
                if port_accepts(port):
                    waiting.remove((proc, log_path, port))
            if waiting and time.monotonic() > deadline:
                raise AirError("AGW port %d did not open within %d s" % (waiting[0][2], START_TIMEOUT))
            time.sleep(0.1)
        if channel.poll() is not None:
            raise AirError("the channel stopped: " + tail(air_log, 1).strip())
    except BaseException:
        pids.close()
        try:
            down(directory, say=lambda text: None)
        except AirError:
            pass
        raise
    pids.close()
    return ports
