"""Soak: the whole client under Wine for MINUTES, hammered by local add-ons
while the server fails in turn.

    sudo bash scripts/soak.sh [MINUTES] [--web-clients N]     (default 30 minutes, no web client)

Namespace A holds the client (standalone mode), one Wine and four ipc_probe
processes: three add-ons that send requests back to back, each with 40 reads
and one 4-byte write of a value that no other request of the run writes, and
a monitor that samples the client's use of memory and handles. Namespace B
holds a native server_sim with the default stream (beacons 20/s, 5 block
types x 20/s, 200 update frames/s) that journals every write batch it receives
with the kernel's receive stamp. Every 30-60 s one fault comes, in turn: the
server closes the connection (FIN), resets it (RST), is killed and started
again 3 s later, goes silent (no beacons, blocks or updates) for 8 s, the
client's address is removed for 10 s, or nothing happens. At the end the
client must answer 1 again, and WM_CLOSE, sent while the add-ons go on, must
end it with exit code 0 within 5 s. With --web-clients N the client's web
gateway is on and N web clients stay subscribed through it all (soak_web.py):
none may stop getting pushes.

Then the add-ons' logs (value, send stamp, answer) meet the journals:
- lost writes: answered 1, more than 0.5 s away from any fault (a fault that
  lasts, the kill, the silence or the outage, counts from its start to its end), and in
  no journal: must be 0. Writes answered 1 near a fault are counted apart;
  TCP cannot promise them;
- invalid batches (the journal's "bad" lines) and values journaled twice: 0;
- growth of the client's private memory and handle count, the first sample
  after the warm-up against the last: at most 5 %. The warm-up begins with
  two reconnections, one after a close and one after a reset: what Wine sets
  up for the first teardown of each kind and the reopening of the link (two
  to five handles, once per run, flat through any number of faults after
  it) is a one-time cost, not growth. With the address fault
  in the order, one such outage follows: its error box, shown once per run,
  is another. Wine gives another
  process's private bytes and handle count as 0, so the private memory is
  read on the Linux side (/proc/PID/smaps_rollup) and the handles are the
  client's entries in the wineserver's handle table;
- recovery per fault kind: from the fault (close, reset), the server's
  return (kill), the end of the silence or the address's return until
  requests are answered 1 again;
- writes answered 1 while the client's address was gone (TCP cannot deliver
  them): counted, the fewer the better.
Prints the figures; exits 1 when one misses. The faults are brought by
soak_faults.py, the answers meet the journals in soak_journal.py, and
soak_report.py prints the figures against their limits.
"""

import argparse
import os
import shutil
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import kvnet  # noqa: E402
import soak_report  # noqa: E402
import wine_harness as wh  # noqa: E402
from soak_faults import FAULTS, FaultDriver  # noqa: E402
import soak_web  # noqa: E402
from link_wine_case import LinkRig, Sim  # noqa: E402
from wine_env import wait_until, wine_path  # noqa: E402

ADDONS = 3
CHUNK = 1000                  # requests per `timed` run of an add-on
WRITE_OFFSETS = [0x0100 + 4 * i for i in range(ADDONS)]


def words(answer):
    return dict(w.split("=", 1) for w in answer.split() if "=" in w)


class Soak:
    def __init__(self, opts):
        self.opts = opts
        self.work = tempfile.mkdtemp(prefix="kv-soak-")
        self.stop = threading.Event()
        self.sampled = threading.Event()  # set: no more samples from the sampling thread
        self.monitor_lock = threading.Lock()
        self.warm_samples = self.last_samples = None
        self.values_lock = threading.Lock()
        self.next_value = 1
        self.rows = []            # (value, sent_ns, roundtrip_ns, result)
        self.rows_lock = threading.Lock()
        self.driver = FaultDriver(opts.faults, opts.seed, self.stop, self.start_sim)
        self.faults = self.driver.faults
        self.samples = []         # (seconds since start, {figure: value})
        self.sims = []            # every server_sim of the run, for their journals
        self.problems = []
        self.shutdown_s = None
        self.exit_code = None
        self.close_ns = None
        self.rig = self.client = self.monitor = None
        self.client_pid = None
        self.started = time.monotonic()
        self.web = None           # the web clients (soak_web.WebClients), with --web-clients
        self.web_from_ns = None   # when their pushes are counted from: the end of the warm-up

    def path(self, name):
        return os.path.join(self.work, name)

    def take_values(self, n):
        with self.values_lock:
            first = self.next_value
            self.next_value += n
            return first

    # -- the add-ons -------------------------------------------------------

    def addon(self, index):
        probe = wh.Probe(self.rig.env_a)
        try:
            probe.ok("wait-window FS98MAIN 30000")
            log = self.path("addon%d.txt" % index)
            while not self.stop.is_set():
                first = self.take_values(CHUNK)
                ok, text = probe("timed %d writes=1 woffset=0x%X first=%d log=%s" % (
                    CHUNK, WRITE_OFFSETS[index], first, wine_path(log)), timeout=600)
                self.take_log(log)
                if not ok:
                    if self.close_ns is None:
                        self.problems.append("add-on %d: %s" % (index, text))
                    break  # after WM_CLOSE: the window is gone
        except wh.ProbeError as error:
            self.problems.append("add-on %d: %s" % (index, error))
        finally:
            probe.close()

    def take_log(self, log):
        try:
            with open(log) as f:
                rows = [tuple(int(x) for x in line.split()) for line in f if line.strip()]
            os.remove(log)
        except OSError:
            return
        with self.rows_lock:
            self.rows.extend(rows)

    # -- the server --------------------------------------------------------

    def start_sim(self):
        web = soak_web.SIM_OPTIONS if self.opts.web_clients else []
        sim = Sim(self.rig, self.rig.net.addr_b, ["--beacon-rate", "20", "--block-rate", "20",
                                                  "--update-rate", "200"] + web)
        self.sims.append(sim)
        return sim

    # -- the client's use of memory and handles -----------------------------

    def find_client_pid(self):
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open("/proc/%s/cmdline" % pid, "rb") as f:
                    argv = f.read().split(b"\0")
                if any(a.endswith(b"Kestrovaline.exe") for a in argv) and \
                        os.readlink("/proc/%s/cwd" % pid) == self.client.root:
                    return int(pid)
            except OSError:
                continue
        return None

    def sample(self):
        with self.monitor_lock:
            use = words(self.monitor.ok("process"))
        figures = {"wine_handles": int(use["system_handles"]), "wine_working_set_kb": int(use["working_set"]) // 1024}
        with open("/proc/%d/smaps_rollup" % self.client_pid) as f:
            rollup = dict((l.split()[0].rstrip(":"), int(l.split()[1])) for l in f if l.split()[-1] == "kB")
        figures["private_kb"] = rollup["Private_Clean"] + rollup["Private_Dirty"]
        figures["fds"] = len(os.listdir("/proc/%d/fd" % self.client_pid))
        self.samples.append((time.monotonic() - self.started, figures))
        with open(self.path("samples.txt"), "a") as f:
            f.write("%.1f %s %s\n" % (self.samples[-1][0], " ".join("%s=%d" % i for i in sorted(figures.items())),
                                      use.get("handle_types", "")))

    def sample_group(self):
        """Three samples a second apart, with the link up: a handle that a
        thread holds for a moment shows in one of them, a leak in all."""
        group = []
        for _ in range(3):
            self.sample()
            group.append(self.samples[-1][1])
            time.sleep(1)
        return group

    def sample_loop(self):
        while not self.sampled.wait(self.opts.sample_every):
            try:
                self.sample()
            except (OSError, wh.ProbeError, KeyError) as error:
                self.problems.append("a sample failed: %s" % error)

    # -- the run -----------------------------------------------------------

    def link_answers(self, want, timeout):
        with self.monitor_lock:
            return wait_until(lambda: self.monitor.request("read 0 1")[0] == want, timeout, 0.1)

    def run(self):
        self.rig = LinkRig().open()
        net = self.driver.net = self.rig.net
        threads = []
        try:
            sim = self.start_sim()
            web = soak_web.SETTINGS if self.opts.web_clients else None
            self.client = wh.Client(self.rig.env_a, settings=wh.settings_file(net.addr_a, net.addr_b, web)).start()
            self.monitor = wh.Probe(self.rig.env_a)
            self.monitor.ok("wait-window FS98MAIN 30000")
            if not self.link_answers(1, 30):
                raise RuntimeError("the client's link did not come up")
            self.client_pid = self.find_client_pid()
            if self.client_pid is None:
                raise RuntimeError("the client's process was not found")
            if self.opts.web_clients:
                self.web = soak_web.WebClients(net, self.opts.web_clients, self.path("web.txt")).start()
            self.started = time.monotonic()
            until = self.started + 60 * self.opts.minutes
            threads = [threading.Thread(target=self.addon, args=(i,)) for i in range(ADDONS)]
            sampler = threading.Thread(target=self.sample_loop)
            for t in threads + [sampler]:
                t.start()
            threads.append(sampler)
            # The first reconnection after each way a link ends: a one-time cost,
            # paid in the warm-up (see above).
            for kind in ("close", "reset"):
                self.driver.reconnection(sim, kind)
                self.link_answers(0, 10)  # down first (it may be back before a read sees it down)
                if not self.link_answers(1, 30):
                    raise RuntimeError("the link did not come back after the warm-up's %s" % kind)
            if "address" in self.opts.faults:
                # The first failed opening shows the error box, once per run, with
                # what Wine loads for it: a one-time cost, paid in the warm-up so
                # that the growth figures show what grows with time.
                self.driver.address_outage()
                if not self.link_answers(1, 30):
                    raise RuntimeError("the link did not come back after the warm-up's address outage")
            self.stop.wait(self.opts.warmup)
            self.warm_samples = self.sample_group()
            self.web_from_ns = time.time_ns()
            self.driver.run(sim, until, self.started)
            while time.monotonic() < until and self.client.proc.poll() is None:
                time.sleep(1)
            self.sampled.set()
            sampler.join()
            self.finish()
        finally:
            self.sampled.set()
            self.stop.set()
            for t in threads:
                t.join(120)
            if self.monitor is not None:
                self.monitor.close()
            if self.web is not None:
                self.web.end()
            if self.client is not None:
                for name in (wh.EVENT_LOG, wh.REQUEST_LOG):  # kept for a look when a figure misses
                    if os.path.exists(self.client.path(name)):
                        shutil.copy(self.client.path(name), self.path(name))
                self.client.cleanup()
            for s in self.sims:
                s.stop()
            self.rig.close()

    def finish(self):
        """The last sample with the link up, then WM_CLOSE under full load."""
        if self.client.proc.poll() is not None:
            self.problems.append("the client ended during the run (exit code %s)" % self.client.proc.returncode)
            return
        if not self.link_answers(1, 30):
            self.problems.append("the client does not answer 1 at the end")
        self.last_samples = self.sample_group()
        self.close_ns = time.time_ns()
        start = time.monotonic()
        self.monitor.ok("close")
        self.exit_code = self.client.wait(30)
        self.shutdown_s = time.monotonic() - start
        # The server has read what the close left in flight once it has seen the connection end.
        wait_until(lambda: self.sims[-1].status().get("connected") == "0", 10)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("minutes", type=float, nargs="?", default=30, help="length of the run (default 30)")
    parser.add_argument("--warmup", type=float, default=None, help="seconds before the first sample, "
                        "with the link up and no fault yet (default: 60, or 5 s a minute of a shorter run)")
    parser.add_argument("--sample-every", type=float, default=10, help="seconds between samples")
    parser.add_argument("--seed", type=int, default=1, help="seed of the times between faults")
    parser.add_argument("--faults", type=lambda t: t.split(","), default=FAULTS,
                        help="the faults' order, comma-separated (default: %s)" % ",".join(FAULTS))
    parser.add_argument("--web-clients", type=int, default=0,
                        help="web clients of the gateway subscribed through the run (default: none, gateway off)")
    opts = parser.parse_args()
    if opts.warmup is None:
        opts.warmup = min(60, 5 * opts.minutes)
    reason = kvnet.netns_unavailable_reason()
    if reason:
        print("cannot run: " + reason)
        return 77
    os.environ.setdefault("KV_SERVER_SIM", os.path.join(HERE, "..", "..", "build", "native", "bin", "server_sim"))
    os.environ.setdefault("KV_BIN_DIR", os.path.join(HERE, "..", "..", "build", "win64", "bin"))
    soak = Soak(opts)
    try:
        soak.run()
    except Exception as error:  # the run could not be carried out
        soak.problems.append("the run broke off: %r" % error)
    code = soak_report.report(soak, ADDONS, WRITE_OFFSETS)
    folders = [soak.work] + [s.dir for s in soak.sims]
    if code != 0:
        with open(soak.path("answers.txt"), "w") as f:
            f.writelines("%d %d %d %d\n" % r for r in sorted(soak.rows, key=lambda r: r[1]))
        with open(soak.path("faults.txt"), "w") as f:
            f.writelines("%s %d %d\n" % (x.kind, x.start_ns, x.end_ns) for x in soak.faults)
    if code == 0:
        for folder in folders:
            shutil.rmtree(folder, ignore_errors=True)
    else:
        print("the add-ons' logs and the journals are kept in " + " ".join(folders))
    return code


if __name__ == "__main__":
    sys.exit(main())
