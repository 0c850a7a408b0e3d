"""The whole client under load, under Wine, across namespaces (needs root).

    KV_BIN_DIR=build/win64/bin [KV_SERVER_SIM=build/native/bin/server_sim] \\
        python3 tests/e2e/bench_link_wine.py [--requests N] [--reads M]

server_sim sends all five data block types 50 times a second and 1,000
update frames a second (a 32-bit counter at 0x18000 moving by one per frame,
an offset only update frames reach). While one ipc_probe runs `bench` (the
typical request of 40 reads and one write) against the client, a second one
measures with `latency` how late each new counter value becomes visible.
Prints both, and checks that nothing was lost or invalid: every request
answered 1, every write batch taken by server_sim, the link never dropped,
no bad frame logged by the client or counted by server_sim. A report, not a test: CTest does not run it.
"""

import argparse
import sys
import threading

import kvnet
import wine_harness as wh
from wine_env import wait_until
from link_wine_case import LinkRig, Sim

MIX = "reads=40 sizes=1-8 writes=1 wsize=4 woffset=0x0100"


def fields(text):
    return dict(w.split("=", 1) for w in text.split() if "=" in w)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--requests", type=int, default=20000)
    parser.add_argument("--reads", type=int, default=20000)
    opts = parser.parse_args()
    reason = kvnet.netns_unavailable_reason()
    if reason:
        print("cannot run: " + reason)
        return 77

    rig = LinkRig().open()
    problems = []
    try:
        net = rig.net
        sim = Sim(rig, net.addr_b, ["--blocks", "6,7,8,9,10", "--block-rate", "50", "--update-rate", "1000",
                                    "--counter", "0x18000:4:1"])
        client = wh.Client(rig.env_a, settings=wh.settings_file(net.addr_a, net.addr_b))
        loader, watcher = wh.Probe(rig.env_a), wh.Probe(rig.env_a)
        try:
            client.start()
            loader.ok("wait-window FS98MAIN 30000")
            watcher.ok("wait-window FS98MAIN 30000")
            if not wait_until(lambda: loader.request("read 0 1")[0] == 1, 30):
                raise RuntimeError("the link did not come up")
            load = {}
            thread = threading.Thread(target=lambda: load.update(
                fields(loader.ok("bench %d %s" % (opts.requests, MIX), timeout=1800))))
            thread.start()
            latency = fields(watcher.ok("latency 0x18000 1000 %d" % opts.reads, timeout=1800))
            thread.join(1800)
            # Every request carried a write: server_sim must have every batch.
            sim.command("status")
            wait_until(lambda: int(sim.status().get("batches", 0)) >= opts.requests, 10)
            status = sim.status()
            loader.ok("command 105")
            loader.ok("wait-gone 20000")
            code = client.wait(30)
            lines = wh.log_lines(client.read(wh.EVENT_LOG))
        finally:
            loader.close()
            watcher.close()
            client.cleanup()
            sim.cleanup()
    finally:
        rig.close()

    print("requests: %s answered 1 of %s, %s per second, p50 %s us, p99 %s us" % (
        load.get("answered1"), load.get("requests"), load.get("rps"), load.get("p50_us"), load.get("p99_us")))
    print("update-to-visible beyond the quickest: p50 %s us, p99 %s us, max %s us over %s changes;"
          " p99 %s us against the quickest within half a second" % (
              latency["p50_us"], latency["p99_us"], latency["max_us"], latency["changes"], latency["local_p99_us"]))
    print("server_sim: blocks=%s updates=%s batches=%s bad_received=%s connections=%s" % tuple(
        status.get(k) for k in ("blocks", "updates", "batches", "bad_received", "connections")))
    if load.get("answered1") != load.get("requests"):
        problems.append("requests answered 0")
    if int(status.get("batches", 0)) != opts.requests:
        problems.append("server_sim took %s write batches for %d requests" % (status.get("batches"), opts.requests))
    if status.get("bad_received") != "0" or status.get("connections") != "1":
        problems.append("server_sim saw bad frames or more than one connection")
    bad = [l for l in lines if "bad" in l.lower() or "wrong" in l or "DEINIT" in l]
    if bad:
        problems.append("client log: " + "; ".join(bad[:5]))
    if code != 0:
        problems.append("exit code %s" % code)
    if float(latency["p99_us"]) >= 10000:
        # A stall of server_sim of over a second restarts its schedule later,
        # which shifts every later value by the stall: the local figure tells.
        problems.append("p99 update-to-visible latency of 10 ms or more" +
                        (" (%s us locally)" % latency["local_p99_us"]))
    for p in problems:
        print("PROBLEM: " + p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
