"""Latency of the whole client under Wine, against a bare floor in the same run.

    sudo bash scripts/bench.sh [--requests N] [--reads N] [--rounds N] [--repeats N]

The client and its floor, each with a server_sim of its own, as
wine_bench_setup.ClientAndFloor sets them up: both windows see the same
sequence, a round of blocks, then the update frame right behind it. (A copy of the client's update frames would reach the floor without the
block burst in front of it, which it has to wait out in the client.) A slow
stream (1 block/s per type, 10 updates/s) is measured as well.

Figures, each for the client and for its floor, measured side by side (two
probes at once, one on each window, so that a stall of the machine meets both):
- IPC time per request (40 reads + one 4-byte write, and reads only): the
  requests back to back, mean and percentiles of the round trip;
- write delivery: request sent (the probe's wall clock) -> its batch at the
  server's socket (the kernel's receive stamp, SO_TIMESTAMPNS);
- update freshness: update frame sent (server_sim's wall clock) -> the value
  seen by the next local request returning;
- under load, in alternating rounds (one window at a time, the order turning
  each round): eight add-ons at once, each sending the IPC mix back to back
  (total requests per second), and one add-on reading the whole 128 KB image
  per request (time per request); the median of the rounds' ratios and their
  range;
- recovery of the client per fault kind: the connection closed (FIN) or reset
  (RST) -> requests answered 1 again; server killed, back 3 s later -> answered
  1 again after its return; the quiet-link watchdog (all streams paused).
Both clocks are the machine's one realtime clock (namespaces share it).
Prints one table; exits 1 when a figure misses its target.
"""

import argparse
import os
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))

import wine_harness as wh  # noqa: E402
from wine_env import wine_path  # noqa: E402
from link_wine_case import Sim  # noqa: E402
from wine_bench_setup import (COUNTER, FLOOR_CLASS, ClientAndFloor, journal_times,  # noqa: E402
                              percentile, read_columns, run_bench, side_by_side, timed_ipc, update_stamps,
                              wait_answer, words)

WRITE_OFFSET = 0x0100
ADD_ONS = 8
MIX = "reads=40 sizes=1-8 writes=1 wsize=4"
WHOLE_IMAGE = "reads=32 sizes=4096-4096"  # 32 records of 4 KB, one after the other
STREAMS = {
    "default": {"blocks": 20, "updates": 200},
    "slow": {"blocks": 1, "updates": 10},
}


class Bench:
    def __init__(self, opts):
        self.opts = opts
        self.work = tempfile.mkdtemp(prefix="kv-latency-")
        self.samples = {}  # (stream, target, figure) -> list of ms
        self.means = {}    # (stream, target, "ipc"/"ipc_reads") -> mean us per request of each round
        self.recovery = {}
        self.load = {"add-ons": [], "image": []}  # per round: (client, floor)
        self.next_value = 1_000_000
        self.problems = []

    def path(self, name):
        return os.path.join(self.work, name)

    def add(self, key, values):
        self.samples.setdefault(key, []).extend(values)

    # -- measuring ---------------------------------------------------------

    def timed(self, probe, stream, target, writes, first):
        n = self.opts.requests
        answer, rows = timed_ipc(probe, self.work, target, n, writes, first, WRITE_OFFSET)
        if answer["answered1"] != answer["requests"]:
            self.problems.append("%s %s: %s of %s requests answered 1" % (stream, target, answer["answered1"], n))
        self.add((stream, target, "ipc" if writes else "ipc_reads"), [int(r[2]) / 1e6 for r in rows])
        self.means.setdefault((stream, target, "ipc" if writes else "ipc_reads"), []).append(1e6 / float(answer["rps"]))
        return {int(r[0]): int(r[1]) for r in rows} if writes else {}

    def fresh(self, probe, stream, target):
        """The counter values seen and when; matched with the server's stamps later."""
        log = self.path(target + "-fresh.txt")
        reads = self.opts.reads * (4 if stream == "slow" else 1)
        probe.ok("fresh 0x%X %d log=%s" % (COUNTER, reads, wine_path(log)), timeout=1800)
        return [(int(v), int(t)) for v, t in read_columns(log)]

    def measure_stream(self, stream, probes, sims):
        rates = STREAMS[stream]
        for sim in sims.values():
            sim.command("rate blocks %d" % rates["blocks"])
            sim.command("rate updates %d" % rates["updates"])
        time.sleep(1)
        side_by_side(lambda t: probes[t].ok("timed 300 log=%s" % wine_path(self.path(t + "-warmup.txt")),
                                                 timeout=600))
        sent = {"client": {}, "floor": {}}
        seen = {"client": [], "floor": []}
        for _ in range(self.opts.rounds):
            first = {"client": self.next_value, "floor": self.next_value + self.opts.requests}
            self.next_value += 2 * self.opts.requests
            for target, values in side_by_side(
                    lambda t: self.timed(probes[t], stream, t, 1, first[t])).items():
                sent[target].update(values)
            side_by_side(lambda t: self.timed(probes[t], stream, t, 0, 0))
            for target, values in side_by_side(lambda t: self.fresh(probes[t], stream, t)).items():
                seen[target] += values
        time.sleep(0.5)  # the servers flush their stamps files every 100 ms
        for target in ("client", "floor"):
            stamps = update_stamps(self.path(target + "-stamps.txt"))
            self.add((stream, target, "fresh"), [(t - stamps[v]) / 1e6 for v, t in seen[target] if v in stamps])
            arrived = journal_times(sims[target], WRITE_OFFSET)
            delays = [(arrived[v] - t) / 1e6 for v, t in sent[target].items() if v in arrived]
            if len(delays) != len(sent[target]):
                self.problems.append("%s %s: %d of %d writes not in the journal" % (
                    stream, target, len(sent[target]) - len(delays), len(sent[target])))
            self.add((stream, target, "delivery"), delays)

    def add_ons_at_once(self, probes):
        """Total requests per second of the probes, each sending the mix back to
        back, all started at once; the wall time runs until the last has ended."""
        n = self.opts.load_requests
        barrier = threading.Barrier(len(probes) + 1)
        errors = []

        def run(i, probe):
            barrier.wait()
            try:
                answer = words(probe.ok("bench %d %s woffset=0x%X" % (n, MIX, 0x0200 + 8 * i), timeout=1800))
                if answer["answered1"] != answer["requests"]:
                    errors.append("%s of %s requests answered 1" % (answer["answered1"], n))
            except Exception as error:
                errors.append(str(error))

        threads = [threading.Thread(target=run, args=(i, p)) for i, p in enumerate(probes)]
        for t in threads:
            t.start()
        barrier.wait()
        start = time.monotonic()
        for t in threads:
            t.join()
        seconds = time.monotonic() - start
        self.problems += ["%d add-ons at once: %s" % (len(probes), e) for e in errors[:1]]
        return len(probes) * n / seconds

    def whole_image(self, probe):
        """Mean microseconds per request reading the whole image."""
        answer = words(probe.ok("bench %d %s" % (self.opts.image_requests, WHOLE_IMAGE), timeout=1800))
        return 1e6 / float(answer["rps"])

    def measure_load(self, rig):
        probes = {"client": [wh.Probe(rig.env_a) for _ in range(ADD_ONS)],
                  "floor": [wh.Probe(rig.env_a, ["--class", FLOOR_CLASS]) for _ in range(ADD_ONS)]}
        try:
            for target, window in (("client", "FS98MAIN"), ("floor", FLOOR_CLASS)):
                for p in probes[target]:
                    p.ok("wait-window %s 30000" % window)
                self.add_ons_at_once(probes[target])  # warm-up: areas mapped, pages touched
                self.whole_image(probes[target][0])
            for r in range(self.opts.load_rounds):
                order = ("client", "floor") if r % 2 == 0 else ("floor", "client")
                rates = {t: self.add_ons_at_once(probes[t]) for t in order}
                times = {t: self.whole_image(probes[t][0]) for t in order}
                self.load["add-ons"].append((rates["client"], rates["floor"]))
                self.load["image"].append((times["client"], times["floor"]))
        finally:
            for group in probes.values():
                for p in group:
                    p.close()

    def measure_recovery(self, rig, probe, sim, sim_options):
        for kind in ("close", "reset"):
            for _ in range(self.opts.repeats):
                start = time.monotonic()
                sim.command(kind)
                wait_answer(probe, 0, 5)
                if wait_answer(probe, 1, 30) is None:
                    self.problems.append("no recovery after '%s'" % kind)
                self.recovery.setdefault(kind, []).append(time.monotonic() - start)
                time.sleep(1)
        for _ in range(self.opts.repeats):
            sim.stop(kill=True)
            sim.cleanup()
            wait_answer(probe, 0, 10)
            time.sleep(3)
            start = time.monotonic()
            sim = Sim(rig, rig.net.addr_b, sim_options)
            if wait_answer(probe, 1, 30) is None:
                self.problems.append("no recovery after a restart")
            self.recovery.setdefault("restart", []).append(time.monotonic() - start)
            time.sleep(1)
        for _ in range(self.opts.repeats):
            sim.command("pause all")
            self.recovery.setdefault("quiet: down after", []).append(wait_answer(probe, 0, 20) or float("nan"))
            sim.command("resume all")
            start = time.monotonic()
            wait_answer(probe, 1, 30)
            self.recovery.setdefault("quiet: back after resume", []).append(time.monotonic() - start)
            time.sleep(1)
        return sim

    # -- the run -----------------------------------------------------------

    def run(self):
        with ClientAndFloor(self.work) as bed:
            for stream in self.opts.streams:
                self.measure_stream(stream, bed.probes, bed.sims)
            if self.opts.load_rounds > 0:
                for sim in bed.sims.values():  # the default stream again
                    sim.command("rate blocks %d" % STREAMS["default"]["blocks"])
                    sim.command("rate updates %d" % STREAMS["default"]["updates"])
                self.measure_load(bed.rig)
            if self.opts.repeats > 0:
                bed.sims["client"] = self.measure_recovery(bed.rig, bed.probes["client"], bed.sims["client"],
                                                           bed.client_options)
            if bed.end_client() != 0:
                self.problems.append("the client did not end with exit code 0")

    # -- the report --------------------------------------------------------

    def report(self):
        print("Latency under Wine in namespaces; each figure against its floor in the same run.")
        print("%-9s %-34s %20s %20s %12s" % ("stream", "figure", "client", "floor", "client/floor"))
        names = {"ipc": "IPC per request, 40 reads + write", "ipc_reads": "IPC per request, reads only",
                 "delivery": "write delivery", "fresh": "update freshness"}
        for stream in self.opts.streams:
            for figure in ("ipc", "ipc_reads", "delivery", "fresh"):
                c = self.samples.get((stream, "client", figure), [])
                f = self.samples.get((stream, "floor", figure), [])
                cells = []
                for values in (c, f):
                    cells.append("p50 %.2f p99 %.2f ms" % (percentile(values, 50), percentile(values, 99)))
                if figure.startswith("ipc"):
                    # The median of the rounds' ratios: each round measures both at once,
                    # so a drift of the machine's speed over the run cancels out.
                    cms, fms = self.means[(stream, "client", figure)], self.means[(stream, "floor", figure)]
                    r = percentile([c / f for c, f in zip(cms, fms)], 50)
                    ratio = "%.3f x" % r
                    cells = ["mean %.0f us, %s" % (sum(cms) / len(cms), cells[0]),
                             "mean %.0f us, %s" % (sum(fms) / len(fms), cells[1])]
                    self.check(r <= 1.05, "%s %s: %.3f x the floor" % (stream, figure, r))
                else:
                    d50 = percentile(c, 50) - percentile(f, 50)
                    d99 = percentile(c, 99) - percentile(f, 99)
                    ratio = "%+.2f/%+.2f ms" % (d50, d99)
                    if figure == "delivery":
                        self.check(d50 <= 0.3 and d99 <= 1.0, "%s delivery: %+.2f/%+.2f ms" % (stream, d50, d99))
                    else:
                        p99 = percentile(c, 99)
                        self.check(p99 <= 2.0 or p99 - percentile(f, 99) <= 0.5,
                                   "%s freshness p99 %.2f ms" % (stream, p99))
                print("%-9s %-34s %30s %30s %14s  (n=%d/%d)" % (stream, names[figure], cells[0], cells[1], ratio,
                                                              len(c), len(f)))
        self.report_load()
        for kind, values in self.recovery.items():
            print("recovery  %-34s %s s" % (kind, " ".join("%.2f" % v for v in values)))
            if not kind.startswith("quiet"):
                self.check(max(values) <= 2.0, "recovery after %s: %.2f s" % (kind, max(values)))
        for p in self.problems:
            print("PROBLEM: " + p)
        return 1 if self.problems else 0

    def report_load(self):
        rounds = len(self.load["add-ons"])
        if rounds == 0:
            return
        print("Under the default stream, %d alternating rounds; ratio = median of the rounds' (range):" % rounds)
        for key, title, unit, better_high, target in (
                ("add-ons", "%d add-ons at once, %d requests each" % (ADD_ONS, self.opts.load_requests),
                 "requests/s", True, 0.95),
                ("image", "whole image per request, %d requests" % self.opts.image_requests, "us", False, 1.05)):
            pairs = self.load[key]
            ratios = sorted(c / f for c, f in pairs)
            median = percentile(ratios, 50)
            print("  %-44s client %8.0f %s  floor %8.0f %s  %.3f x (%.3f-%.3f)" % (
                title, percentile([c for c, _ in pairs], 50), unit, percentile([f for _, f in pairs], 50), unit,
                median, ratios[0], ratios[-1]))
            self.check(median >= target if better_high else median <= target,
                       "%s: %.3f x the floor" % (key, median))

    def check(self, good, what):
        if not good:
            self.problems.append(what)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--requests", type=int, default=1500, help="requests per timed run")
    parser.add_argument("--reads", type=int, default=3000, help="reads per freshness run (x4 for the slow stream)")
    parser.add_argument("--rounds", type=int, default=8, help="side-by-side runs per stream")
    parser.add_argument("--load-rounds", type=int, default=11,
                        help="alternating rounds of the load figures (0: none)")
    parser.add_argument("--load-requests", type=int, default=1500, help="requests of each add-on per round")
    parser.add_argument("--image-requests", type=int, default=400, help="whole-image requests per round")
    parser.add_argument("--repeats", type=int, default=3, help="faults of each kind (0: no recovery figures)")
    parser.add_argument("--streams", nargs="+", choices=list(STREAMS), default=list(STREAMS),
                        help="the streams to measure under")
    opts = parser.parse_args()
    return run_bench(lambda: Bench(opts))

if __name__ == "__main__":
    sys.exit(main())
