"""Latency of the whole client under Wine, against a bare floor in the same run.

    sudo bash scripts/bench.sh [--requests N] [--reads N] [--rounds N] [--repeats N]

Namespace A holds the client (Kestrovaline.exe), the floor (`ipc_probe floor`,
a bare window that serves requests from its own image, applies update frames on
its own UDP port and sends write batches with one plain send on a socket with
the client's options) and the probes, all under one Wine; namespace B holds two
native server_sim: one for the client (beacons 20/s), one for the floor (no
beacons). Each streams 5 block types x 20/s over TCP and 200 update frames/s
(a counter moving by one) to its window's UDP port, so both windows see the
same sequence: a round of blocks, then the update frame right behind it.
(A copy of the client's update frames would reach the floor without the
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
import shutil
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))

import wine_harness as wh  # noqa: E402
from wine_env import stop_process, wine_path  # noqa: E402
from link_wine_case import LinkRig, Sim  # noqa: E402
from wine_bench_setup import cannot_run, journal_times, percentile, read_columns, words  # noqa: E402

FLOOR_CLASS = "KVFLOOR"
FLOOR_PORT = 65101
COUNTER = 0x18000  # beyond the data blocks: only update frames move it
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
        log = self.path(target + "-timed.txt")
        answer = words(probe.ok("timed %d writes=%d woffset=0x%X first=%d log=%s" % (
            n, writes, WRITE_OFFSET, first, wine_path(log)), timeout=1800))
        if answer["answered1"] != answer["requests"]:
            self.problems.append("%s %s: %s of %s requests answered 1" % (stream, target, answer["answered1"], n))
        rows = read_columns(log)
        self.add((stream, target, "ipc" if writes else "ipc_reads"), [int(r[2]) / 1e6 for r in rows])
        self.means.setdefault((stream, target, "ipc" if writes else "ipc_reads"), []).append(1e6 / float(answer["rps"]))
        return {int(r[0]): int(r[1]) for r in rows} if writes else {}

    def fresh(self, probe, stream, target):
        """The counter values seen and when; matched with the server's stamps later."""
        log = self.path(target + "-fresh.txt")
        reads = self.opts.reads * (4 if stream == "slow" else 1)
        probe.ok("fresh 0x%X %d log=%s" % (COUNTER, reads, wine_path(log)), timeout=1800)
        return [(int(v), int(t)) for v, t in read_columns(log)]

    def update_stamps(self, target):
        return {int(w[2]): int(w[1]) for w in read_columns(self.path(target + "-stamps.txt")) if w[0] == "update"}

    @staticmethod
    def side_by_side(job):
        """job(target) for the client and the floor at the same time, so that whatever
        the machine does meanwhile (a stall, another load) meets both alike."""
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

    def measure_stream(self, stream, probes, sims):
        rates = STREAMS[stream]
        for sim in sims.values():
            sim.command("rate blocks %d" % rates["blocks"])
            sim.command("rate updates %d" % rates["updates"])
        time.sleep(1)
        self.side_by_side(lambda t: probes[t].ok("timed 300 log=%s" % wine_path(self.path(t + "-warmup.txt")),
                                                 timeout=600))
        sent = {"client": {}, "floor": {}}
        seen = {"client": [], "floor": []}
        for _ in range(self.opts.rounds):
            first = {"client": self.next_value, "floor": self.next_value + self.opts.requests}
            self.next_value += 2 * self.opts.requests
            for target, values in self.side_by_side(
                    lambda t: self.timed(probes[t], stream, t, 1, first[t])).items():
                sent[target].update(values)
            self.side_by_side(lambda t: self.timed(probes[t], stream, t, 0, 0))
            for target, values in self.side_by_side(lambda t: self.fresh(probes[t], stream, t)).items():
                seen[target] += values
        time.sleep(0.5)  # the servers flush their stamps files every 100 ms
        for target in ("client", "floor"):
            stamps = self.update_stamps(target)
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

    def wait_answer(self, probe, want, timeout):
        """Seconds until a request is answered want, or None."""
        start = time.monotonic()
        while time.monotonic() - start < timeout:
            if probe.request("read 0 1")[0] == want:
                return time.monotonic() - start
        return None

    def measure_recovery(self, rig, probe, sim, sim_options):
        for kind in ("close", "reset"):
            for _ in range(self.opts.repeats):
                start = time.monotonic()
                sim.command(kind)
                self.wait_answer(probe, 0, 5)
                if self.wait_answer(probe, 1, 30) is None:
                    self.problems.append("no recovery after '%s'" % kind)
                self.recovery.setdefault(kind, []).append(time.monotonic() - start)
                time.sleep(1)
        for _ in range(self.opts.repeats):
            sim.stop(kill=True)
            sim.cleanup()
            self.wait_answer(probe, 0, 10)
            time.sleep(3)
            start = time.monotonic()
            sim = Sim(rig, rig.net.addr_b, sim_options)
            if self.wait_answer(probe, 1, 30) is None:
                self.problems.append("no recovery after a restart")
            self.recovery.setdefault("restart", []).append(time.monotonic() - start)
            time.sleep(1)
        for _ in range(self.opts.repeats):
            sim.command("pause all")
            self.recovery.setdefault("quiet: down after", []).append(self.wait_answer(probe, 0, 20) or float("nan"))
            sim.command("resume all")
            start = time.monotonic()
            self.wait_answer(probe, 1, 30)
            self.recovery.setdefault("quiet: back after resume", []).append(time.monotonic() - start)
            time.sleep(1)
        return sim

    # -- the run -----------------------------------------------------------

    def run(self):
        rig = LinkRig().open()
        net = rig.net
        stream = ["--block-rate", "20", "--update-rate", "200", "--counter", "0x%X:4:1" % COUNTER]
        client_options = stream + ["--beacon-rate", "20", "--stamps", self.path("client-stamps.txt")]
        floor_options = stream + ["--beacon-rate", "0", "--stamps", self.path("floor-stamps.txt"),
                                  "--update-port", str(FLOOR_PORT)]
        sims, probes, floor, client = {}, {}, None, None
        try:
            sims["client"] = Sim(rig, net.addr_b, client_options)
            sims["floor"] = Sim(rig, net.extra_b[0], floor_options)
            client = wh.Client(rig.env_a, settings=wh.settings_file(net.addr_a, net.addr_b)).start()
            floor = rig.env_a.popen([os.path.join(wh.bin_dir(), "ipc_probe.exe"), "floor", "class=" + FLOOR_CLASS,
                                     "local=" + net.addr_a, "port=%d" % FLOOR_PORT, "server=" + net.extra_b[0]],
                                    stdout=open(self.path("floor.txt"), "wb"))
            probes["client"] = wh.Probe(rig.env_a)
            probes["floor"] = wh.Probe(rig.env_a, ["--class", FLOOR_CLASS])
            probes["client"].ok("wait-window FS98MAIN 30000")
            probes["floor"].ok("wait-window %s 30000" % FLOOR_CLASS)
            if self.wait_answer(probes["client"], 1, 30) is None:
                raise RuntimeError("the client's link did not come up")
            for stream in self.opts.streams:
                self.measure_stream(stream, probes, sims)
            if self.opts.load_rounds > 0:
                for sim in sims.values():  # the default stream again
                    sim.command("rate blocks %d" % STREAMS["default"]["blocks"])
                    sim.command("rate updates %d" % STREAMS["default"]["updates"])
                self.measure_load(rig)
            if self.opts.repeats > 0:
                sims["client"] = self.measure_recovery(rig, probes["client"], sims["client"], client_options)
            probes["client"].ok("command 105")
            probes["client"].ok("wait-gone 20000")
            if client.wait(30) != 0:
                self.problems.append("the client did not end with exit code 0")
        finally:
            for p in probes.values():
                p.close()
            if floor is not None:
                stop_process(floor)
            if client is not None:
                client.cleanup()
            for s in sims.values():
                s.cleanup()
            rig.close()

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
    reason = cannot_run()
    if reason:
        print("cannot run: " + reason)
        return 77
    bench = Bench(opts)
    bench.run()
    code = bench.report()
    if code == 0:
        shutil.rmtree(bench.work, ignore_errors=True)
    else:
        print("the logs and stamps of the run are kept in " + bench.work)
    return code


if __name__ == "__main__":
    sys.exit(main())
