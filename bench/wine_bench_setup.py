"""What the Wine benches check and set before they start, the client and
its floor that they measure, and the small helpers they share."""

import os
import shutil
import sys
import threading
import time

import kvnet

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))

import wine_harness as wh  # noqa: E402
from link_wine_case import LinkRig, Sim  # noqa: E402
from wine_env import stop_process, wine_path  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))


def cannot_run():
    """Why the benches cannot run here (no network namespaces), or None after
    pointing the harness at this checkout's native server_sim and Windows
    build, unless the environment names others."""
    reason = kvnet.netns_unavailable_reason()
    if reason:
        return reason
    os.environ.setdefault("KV_SERVER_SIM", os.path.join(HERE, "..", "build", "native", "bin", "server_sim"))
    os.environ.setdefault("KV_BIN_DIR", os.path.join(HERE, "..", "build", "win64", "bin"))
    return None


def run_bench(make, needs=()):
    """make() -> a bench (run(), report() -> exit code, work: its folder);
    runs it when the machine can (needs: files it needs besides), prints its
    report and keeps its folder only when a figure missed. The exit code."""
    reason = cannot_run() or next(("no " + n for n in needs if not os.path.exists(n)), None)
    if reason:
        print("cannot run: " + reason)
        return 77
    bench = make()
    bench.run()
    code = bench.report()
    if code == 0:
        shutil.rmtree(bench.work, ignore_errors=True)
    else:
        print("the logs and stamps of the run are kept in " + bench.work)
    return code


def percentile(values, p):
    """Nearest rank: p99 of 100 values is the 99th smallest."""
    ordered = sorted(values)
    if not ordered:
        return float("nan")
    rank = max(1, -(-len(ordered) * p // 100))
    return ordered[int(rank) - 1]


def words(answer):
    return dict(w.split("=", 1) for w in answer.split() if "=" in w)


def read_columns(path):
    with open(path) as f:
        return [line.split() for line in f if line.strip()]


def journal_times(sim, offset):
    """Written 4-byte value at offset -> kernel receive stamp (ns), from the
    server's journal."""
    times, seq_time = {}, {}
    for line in sim.journal_lines():
        w = line.split()
        if w[0] == "time":
            seq_time[w[1]] = int(w[2])
        elif w[0] == "write" and int(w[2], 16) == offset and w[3] == "4":
            times[int.from_bytes(bytes.fromhex(w[4]), "little")] = seq_time[w[1]]
    return times


FLOOR_CLASS = "KVFLOOR"
FLOOR_PORT = 65101
COUNTER = 0x18000  # beyond the data blocks: only update frames move it
STREAM = ["--block-rate", "20", "--update-rate", "200", "--counter", "0x%X:4:1" % COUNTER]


class ClientAndFloor:
    """Namespace A holds the client (Kestrovaline.exe) and its floor
    (`ipc_probe floor`, a bare window that serves requests from its own
    image, applies update frames on its own UDP port and sends write batches
    with one plain send on a socket with the client's options), with a probe
    on each window; namespace B holds a native server_sim for each: the
    client's beacons 20/s, the floor's not at all. Both stream the same
    sequence: 5 block types x 20/s over TCP and 200 update frames/s (a
    counter at COUNTER moving by one) to their window's UDP port. Each
    server_sim writes the update frames' send stamps to work/TARGET-stamps.txt.
    web: the lines of the client's [Web Server] section (default: off);
    floor_options(net): more arguments of `ipc_probe floor` (pushes=...)."""

    def __init__(self, work, web=None, floor_options=lambda net: []):
        self.work = work
        self.web = web
        self.floor_options = floor_options
        self.rig = self.client = self.floor = None
        self.sims, self.probes = {}, {}
        self.client_options = []

    def __enter__(self):
        self.rig = LinkRig().open()
        try:
            net = self.rig.net
            self.client_options = STREAM + ["--beacon-rate", "20", "--stamps", self.path("client-stamps.txt")]
            floor_options = STREAM + ["--beacon-rate", "0", "--stamps", self.path("floor-stamps.txt"),
                                      "--update-port", str(FLOOR_PORT)]
            self.sims["client"] = Sim(self.rig, net.addr_b, self.client_options)
            self.sims["floor"] = Sim(self.rig, net.extra_b[0], floor_options)
            self.client = wh.Client(self.rig.env_a, settings=wh.settings_file(net.addr_a, net.addr_b, self.web))
            self.client.start()
            self.floor = self.rig.env_a.popen(
                [os.path.join(wh.bin_dir(), "ipc_probe.exe"), "floor", "class=" + FLOOR_CLASS, "local=" + net.addr_a,
                 "port=%d" % FLOOR_PORT, "server=" + net.extra_b[0]] + self.floor_options(net),
                stdout=open(self.path("floor.txt"), "wb"))
            self.probes["client"] = wh.Probe(self.rig.env_a)
            self.probes["floor"] = wh.Probe(self.rig.env_a, ["--class", FLOOR_CLASS])
            self.probes["client"].ok("wait-window FS98MAIN 30000")
            self.probes["floor"].ok("wait-window %s 30000" % FLOOR_CLASS)
            if wait_answer(self.probes["client"], 1, 30) is None:
                raise RuntimeError("the client's link did not come up")
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def path(self, name):
        return os.path.join(self.work, name)

    def end_client(self):
        """WM_CLOSE through the menu; the client's exit code."""
        self.probes["client"].ok("command 105")
        self.probes["client"].ok("wait-gone 20000")
        return self.client.wait(30)

    def __exit__(self, *exc):
        for p in self.probes.values():
            p.close()
        if self.floor is not None:
            stop_process(self.floor)
        if self.client is not None:
            self.client.cleanup()
        for s in self.sims.values():
            s.cleanup()
        self.rig.close()


def wait_answer(probe, want, timeout):
    """Seconds until a request of probe is answered want, or None."""
    start = time.monotonic()
    while time.monotonic() - start < timeout:
        if probe.request("read 0 1")[0] == want:
            return time.monotonic() - start
    return None


def timed_ipc(probe, work, target, requests, writes=0, first=0, woffset=0x0100):
    """requests of the IPC mix back to back (40 reads, and a 4-byte write
    when writes is 1); returns (answer words, rows of the probe's log:
    value, sent_ns, round trip ns)."""
    log = os.path.join(work, target + "-timed.txt")
    answer = words(probe.ok("timed %d writes=%d woffset=0x%X first=%d log=%s" % (
        requests, writes, woffset, first, wine_path(log)), timeout=1800))
    return answer, read_columns(log)


def update_stamps(path):
    """Update frame's counter value -> its send stamp (ns), from a server_sim's stamps file."""
    return {int(w[2]): int(w[1]) for w in read_columns(path) if w[0] == "update"}


def side_by_side(job):
    """job(target) for the client and the floor at the same time, so that
    whatever the machine does meanwhile (a stall, another load) meets both
    alike; {target: what job returned}."""
    results, errors = {}, []

    def run(target):
        try:
            results[target] = job(target)
        except Exception as error:  # raised again on this thread
            errors.append(error)

    threads = [threading.Thread(target=run, args=(t,)) for t in ("client", "floor")]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]
    return results
