"""What the client costs the PC while the simulator streams and no add-on asks,
against a bare receiver taking the same streams, in the same run.

    sudo bash scripts/bench.sh          (after the latency figures)
    python3 bench/idle_wine.py [--rounds N] [--seconds S]

Namespace B holds one native server_sim streaming its default load: beacons
20/s, 5 block types x 20/s over TCP, 200 update frames/s. Namespace A holds
one Wine, and in turn, never both at once, either the client
(Kestrovaline.exe, linked to the server, its web gateway listening as it
does by default, with no web client) or the floor (`ipc_probe floor`: a
plain blocking recv of up to 64 KB drains the TCP connection, a blocking
recvfrom applies the update frames on the client's port). Each round runs
both, one after the other, the order alternating between rounds; each takes
its streams for a warm-up, then for S seconds its CPU time and the
wineserver's are read from /proc (every socket call of a Wine program is a
wineserver request, so the wineserver's work belongs to the program's cost).
Prints per round and the median of the rounds; exits 1 when the client's
median is more than 1 point of a core above the floor's.
"""

import argparse
import os
import statistics
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))

import wine_harness as wh  # noqa: E402
from link_wine_case import LinkRig, Sim  # noqa: E402
from wine_bench_setup import run_bench  # noqa: E402
from wine_env import stop_process, wait_until  # noqa: E402

TICKS = os.sysconf("SC_CLK_TCK")
WEB_ON = "Port = 8765\r\n"  # the gateway as a user's client has it
TARGET_POINTS = 1.0  # the client's median at most this many points of a core above the floor's


def cpu_seconds(pid):
    """User and system time of a process and all its threads so far."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS  # utime, stime (fields 14 and 15)


def find_pid(match):
    """The one process that match(pid, argv) says yes to."""
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                if match(pid, f.read().split(b"\0")):
                    return int(pid)
        except OSError:
            continue
    return None


def program_pid(name):
    """A Windows program's Linux process, by the name of its .exe."""
    return find_pid(lambda _pid, argv: any(a.endswith(name) for a in argv))


class Idle:
    def __init__(self, opts):
        self.opts = opts
        self.work = tempfile.mkdtemp(prefix="kv-idle-")
        self.rounds = []  # per round: {target: (program %, wineserver %, blocks, updates)}
        self.problems = []

    def wineserver_pid(self, env):
        """The wineserver of env's prefix: it works in a folder named server-DEV-INODE of the prefix."""
        st = os.stat(env.prefix)
        folder = "/server-%x-%x" % (st.st_dev, st.st_ino)
        return find_pid(lambda pid, argv: b"wineserver" in argv[0] and
                        os.readlink("/proc/%s/cwd" % pid).endswith(folder))

    def start(self, target, rig):
        """Starts the client or the floor; returns (what stop() takes, its Linux pid)."""
        net = rig.net
        if target == "client":
            client = wh.Client(rig.env_a, settings=wh.settings_file(net.addr_a, net.addr_b, WEB_ON)).start()
            pid = wait_until(lambda: program_pid(b"Kestrovaline.exe"), 30)
            return client, pid
        # Without port= the floor takes the update frames on the client's port.
        floor = rig.env_a.popen([os.path.join(wh.bin_dir(), "ipc_probe.exe"), "floor", "local=" + net.addr_a,
                                 "server=" + net.addr_b],
                                stdout=open(os.path.join(self.work, "floor.txt"), "ab"))
        pid = wait_until(lambda: program_pid(b"ipc_probe.exe"), 30)
        return floor, pid

    def stop(self, target, handle):
        if target == "client":
            handle.cleanup()
        else:
            stop_process(handle)

    def measure(self, target, rig, sim, server_pid):
        sim.do("status")
        connections = int(sim.status().get("connections", "0"))
        handle, pid = self.start(target, rig)
        try:
            if pid is None or not wait_until(lambda: int(self.status(sim).get("connections", "0")) > connections, 30):
                raise RuntimeError("the %s did not connect to the server" % target)
            time.sleep(self.opts.warmup)
            before = self.status(sim)
            start, program, server = time.monotonic(), cpu_seconds(pid), cpu_seconds(server_pid)
            time.sleep(self.opts.seconds)
            took = time.monotonic() - start
            program, server = cpu_seconds(pid) - program, cpu_seconds(server_pid) - server
            after = self.status(sim)
        finally:
            self.stop(target, handle)
        moved = {k: int(after.get(k, "0")) - int(before.get(k, "0")) for k in ("blocks", "updates", "beacons")}
        return 100 * program / took, 100 * server / took, moved

    def status(self, sim):
        sim.do("status")
        return sim.status()

    def run(self):
        rig = LinkRig().open()
        try:
            sim = Sim(rig, rig.net.addr_b, ["--block-rate", "20", "--update-rate", "200", "--beacon-rate", "20",
                                            "--counter", "0x18000:4:1"])
            try:
                # The wineserver of namespace A: start a program so that it exists, then find it.
                handle, _ = self.start("floor", rig)
                server_pid = self.wineserver_pid(rig.env_a)
                self.stop("floor", handle)
                if server_pid is None:
                    raise RuntimeError("the wineserver of namespace A was not found")
                for r in range(self.opts.rounds):
                    order = ("client", "floor") if r % 2 == 0 else ("floor", "client")
                    self.rounds.append({t: self.measure(t, rig, sim, server_pid) for t in order})
                    self.print_round(r + 1, self.rounds[-1])
            finally:
                sim.cleanup()
        finally:
            rig.close()

    def print_round(self, n, figures):
        cells = []
        for target in ("client", "floor"):
            program, server, moved = figures[target]
            cells.append("%s %.1f %% (%.1f + %.1f), %d blocks, %d updates, %d beacons" % (
                target, program + server, program, server, moved["blocks"], moved["updates"], moved["beacons"]))
        c, f = (sum(figures[t][:2]) for t in ("client", "floor"))
        print("round %d: %s | %s | %+.1f points" % (n, cells[0], cells[1], c - f))
        sys.stdout.flush()

    def report(self):
        totals = {t: [sum(r[t][:2]) for r in self.rounds] for t in ("client", "floor")}
        diffs = [c - f for c, f in zip(totals["client"], totals["floor"])]
        median = statistics.median(diffs)
        print("Idle streaming, percent of one core (program + wineserver), median of %d rounds of %d s:"
              % (len(self.rounds), self.opts.seconds))
        print("  client %.1f %%, floor %.1f %%, difference %+.1f points (rounds: %s); target at most %+.1f"
              % (statistics.median(totals["client"]), statistics.median(totals["floor"]), median,
                 " ".join("%+.1f" % d for d in diffs), TARGET_POINTS))
        if median > TARGET_POINTS:
            self.problems.append("idle streaming: the client %+.1f points above the floor" % median)
        for p in self.problems:
            print("PROBLEM: " + p)
        return 1 if self.problems else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rounds", type=int, default=7, help="rounds of client and floor, one after the other")
    parser.add_argument("--seconds", type=int, default=20, help="measured seconds per program and round")
    parser.add_argument("--warmup", type=float, default=3.0, help="seconds of streams before measuring")
    opts = parser.parse_args()
    return run_bench(lambda: Idle(opts))

if __name__ == "__main__":
    sys.exit(main())
