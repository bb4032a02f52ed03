"""Brings simulated radio channels with N Dire Wolf nodes up and down (air-up, air-down), and stops
and starts one node's Dire Wolf while the rest runs on (air-node).

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


def node_conf(index, nodes, baud, base_port, extra, priorities=None, frack_seconds=None):
    """Node index's Dire Wolf configuration; priorities[k] is the place of its radio channel k among
    the radios of that one's simulated channel (default: one channel, place index)."""
    sample_rate, txdelay, txtail, step = TIMING[baud]
    priorities = [index] if priorities is None else priorities
    lines = [
        "ADEVICE stdin airtx%d" % index,
        "ARATE %d" % sample_rate,
        # Two radio channels share one stereo device: channel 0 left, channel 1 right.
        "ACHANNELS %d" % len(priorities),
    ]
    for channel, place in enumerate(priorities):
        lines += [
            "CHANNEL %d" % channel,
            "MYCALL AIR%d" % index,
            "MODEM %d" % baud,
            "TXDELAY %d" % txdelay,
            "TXTAIL %d" % txtail,
            # Fixed priorities instead of p-persistence: once the channel clears, the
            # radio in place k waits k steps and then keys up at once, so a radio that
            # keyed up first is always heard in time. Random slots collide instead:
            # Dire Wolf never seeds rand() and its slot grid lines up on every node, and
            # on a channel where everyone hears everyone there is nothing for the
            # randomness to buy.
            "PERSIST 255",
            "SLOTTIME %d" % step,
            "DWAIT %d" % (place * step),
        ]
    lines += [
        "FRACK %d" % (frack(nodes, baud) if frack_seconds is None else frack_seconds),
        # Straight to SABM (v2.0): no SABME attempt and no XID exchange first.
        "MAXV22 0",
        "AGWPORT %d" % (base_port + index),
        "KISSPORT 0",
    ]
    return "\n".join(lines + list(extra)) + "\n"


def check_layout(layout, nodes):
    """layout[i] lists the simulated channels of node i's radio channels; None puts every node on channel 0."""
    if layout is None:
        return [[0] for _ in range(nodes)]
    layout = [list(airs) for airs in layout]
    if len(layout) != nodes:
        raise AirError("the layout names %d nodes, not %d" % (len(layout), nodes))
    for i, airs in enumerate(layout):
        if not 1 <= len(airs) <= 2:
            raise AirError("node %d has %d radio channels (1 or 2)" % (i, len(airs)))
        if len(set(airs)) != len(airs):
            raise AirError("node %d has both radio channels on channel %d" % (i, airs[0]))
        if min(airs) < 0:
            raise AirError("node %d: channels are numbered from 0" % i)
    return layout


def parse_layout(entries, nodes):
    """From "NODE=CH[,CH]" texts (air-up --channels); nodes not named are on channel 0."""
    layout = [[0] for _ in range(nodes)]
    for entry in entries:
        try:
            node, airs = entry.split("=", 1)
            node = int(node)
            airs = [int(a) for a in airs.split(",")]
        except ValueError:
            raise AirError("--channels %s: give NODE=CHANNEL or NODE=CHANNEL,CHANNEL" % entry) from None
        if not 0 <= node < nodes:
            raise AirError("--channels %s: there is no node %d" % (entry, node))
        layout[node] = airs
    return check_layout(layout, nodes)


def priorities(layout):
    """Each radio's place among the radios on its simulated channel, node by node."""
    taken = {}
    places = []
    for airs in layout:
        places.append([])
        for air in airs:
            places[-1].append(taken.get(air, 0))
            taken[air] = taken.get(air, 0) + 1
    return places, max(taken.values())


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


def launch_node(directory, index, direwolf, log_mode="wb"):
    """Starts Dire Wolf for node index on its configuration, FIFOs and log; returns the Popen."""
    env = dict(os.environ, HOME=directory)
    env.pop("ALSA_CONFIG_PATH", None)
    rx = os.open(os.path.join(directory, "node%d.rx" % index), os.O_RDONLY | os.O_NONBLOCK)
    try:
        fcntl.fcntl(rx, fcntl.F_SETFL, fcntl.fcntl(rx, fcntl.F_GETFL) & ~os.O_NONBLOCK)
        with open(os.path.join(directory, "node%d.log" % index), log_mode) as log:
            return subprocess.Popen(
                [direwolf, "-c", os.path.join(directory, "node%d.conf" % index), "-t", "0", "-T", "%T", "-q", "d"],
                stdin=rx, stdout=log, stderr=subprocess.STDOUT, cwd=directory, env=env,
                start_new_session=True)
    finally:
        os.close(rx)


def wait_for_ports(directory, procs):
    """Waits until each (proc, node index, AGW port) accepts connections; AirError when one exits or is late."""
    deadline = time.monotonic() + START_TIMEOUT
    waiting = list(procs)
    while waiting:
        for proc, index, port in list(waiting):
            if proc.poll() is not None:
                log_path = os.path.join(directory, "node%d.log" % index)
                raise AirError("direwolf for AGW port %d exited (see %s): %s"
                               % (port, log_path, tail(log_path, 1).strip() or "no output"))
            if port_accepts(port):
                waiting.remove((proc, index, port))
        if waiting and time.monotonic() > deadline:
            raise AirError("AGW port %d did not open within %d s" % (waiting[0][2], START_TIMEOUT))
        time.sleep(0.1)


def up(directory, nodes=2, base_port=8010, baud=1200, extra=(), direwolf=None, layout=None):
    """Starts the channels and the nodes; returns the AGW ports. Raises AirError with one line of reason.

    layout[i] lists the simulated channels of node i's radio channels (see check_layout)."""
    direwolf = direwolf or shutil.which("direwolf")
    if not direwolf:
        raise AirError("direwolf is not installed (apt-get install direwolf)")
    if baud not in TIMING:
        raise AirError("unsupported rate %d (use %s)" % (baud, " or ".join(map(str, sorted(TIMING)))))
    if not 1 <= nodes <= 16:
        raise AirError("--nodes must be between 1 and 16")
    layout = check_layout(layout, nodes)
    places, crowd = priorities(layout)
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
            f.write(node_conf(i, nodes, baud, base_port, extra, places[i], frack(crowd, baud)))
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
        command = [sys.executable, CHANNEL, directory, "--nodes", str(nodes), "--sample-rate", str(sample_rate),
                   "--log", air_log]
        if any(airs != [0] for airs in layout):
            command += ["--layout", ",".join("+".join(map(str, airs)) for airs in layout)]
        # A fresh log: an old "channel ready" must not be taken for this run's.
        with open(air_log, "w") as errors:
            channel = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=errors,
                                       cwd=directory, start_new_session=True)
        record(channel, "channel")
        if not wait_for_log(air_log, "channel ready", channel, START_TIMEOUT):
            raise AirError("the channel did not start: " + tail(air_log, 1).strip())

        procs = []
        for i in range(nodes):
            proc = launch_node(directory, i, direwolf)
            record(proc, "node%d" % i)
            procs.append((proc, i, ports[i]))
        wait_for_ports(directory, procs)
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


def write_pids(directory, entries):
    path = os.path.join(directory, "pids")
    with open(path + ".new", "w") as f:
        f.write("".join("%d %s\n" % entry for entry in entries))
    os.replace(path + ".new", path)


def node_port(directory, index):
    with open(os.path.join(directory, "ports")) as f:
        ports = [int(line) for line in f if line.strip()]
    if not 0 <= index < len(ports):
        raise AirError("there is no node %d in %s" % (index, directory))
    return ports[index]


def stop_node(directory, index, say=lambda text: None):
    """Stops node index's Dire Wolf by the PID recorded for it (SIGTERM, SIGKILL after 5 s) and takes it
    off the pids file; the channel and the other nodes run on. Returns the PID."""
    directory = os.path.abspath(directory)
    if not os.path.exists(os.path.join(directory, "pids")):
        raise AirError("%s has no pids file; nothing runs there" % directory)
    node_port(directory, index)
    role = "node%d" % index
    entries = read_pids(directory)
    mine = [pid for pid, r in entries if r == role]
    if not mine or not is_ours(mine[0], role, directory):
        raise AirError("%s is not running" % role)
    stop(mine, say)
    if alive(mine[0]):
        raise AirError("%s (process %d) is still running" % (role, mine[0]))
    write_pids(directory, [(pid, r) for pid, r in entries if r != role])
    return mine[0]


def start_node(directory, index, direwolf=None):
    """Starts node index's Dire Wolf again on its configuration, FIFOs and AGW port, once stop_node
    stopped it; waits until the port accepts connections and returns the new PID. Its log goes on."""
    direwolf = direwolf or shutil.which("direwolf")
    if not direwolf:
        raise AirError("direwolf is not installed (apt-get install direwolf)")
    directory = os.path.abspath(directory)
    if not os.path.exists(os.path.join(directory, "pids")):
        raise AirError("%s has no pids file; start the channel with air-up" % directory)
    port = node_port(directory, index)
    role = "node%d" % index
    entries = read_pids(directory)
    if any(r == role and is_ours(pid, r, directory) for pid, r in entries):
        raise AirError("%s is running already" % role)
    channel = [pid for pid, r in entries if r == "channel" and is_ours(pid, r, directory)]
    if not channel:
        raise AirError("the channel is not running in %s" % directory)
    if not port_free(port):
        raise AirError("port %d is already in use" % port)
    # What the channel played to the stopped node is old news: the new Dire Wolf starts on silence.
    rx = os.open(os.path.join(directory, "node%d.rx" % index), os.O_RDONLY | os.O_NONBLOCK)
    try:
        while True:
            try:
                if not os.read(rx, 1 << 16):
                    break
            except BlockingIOError:
                break
    finally:
        os.close(rx)
    proc = launch_node(directory, index, direwolf, log_mode="ab")
    write_pids(directory, [(pid, r) for pid, r in entries if r != role] + [(proc.pid, role)])
    try:
        wait_for_ports(directory, [(proc, index, port)])
    except BaseException:
        stop([proc.pid], lambda text: None)
        write_pids(directory, [(pid, r) for pid, r in entries if r != role])
        raise
    return proc.pid
