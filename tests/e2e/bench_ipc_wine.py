"""Request throughput of the client under Wine against bare windows, in one run.

    KV_BIN_DIR=build/win64/bin python3 tests/e2e/bench_ipc_wine.py [--requests N] [--rounds R]
                                                                    [--max-ratio X]

Runs `ipc_probe bench` with a typical mix (40 reads of 1 to 8 bytes spread
over the image and one 4-byte write) against three windows in turn, R rounds
interleaved so that drift of the machine hits all alike:
  bare  `ipc_probe serve`      answers at once, no work at all
  map   `ipc_probe serve map`  opens and maps the request area, then answers
  client Kestrovaline.exe      standalone, no server link
and prints each one's best requests per second, median p50 and p99, and the
client's time per request relative to the two bare windows. With --max-ratio
it exits 1 when the client's time per request exceeds that multiple of the
bare window's. A report, not a test: CTest does not run it.
"""

import argparse
import os
import statistics
import subprocess
import sys

import wine_harness as wh
from wine_env import WineEnv, stop_process

MIX = "reads=40 sizes=1-8 writes=1 wsize=4 woffset=0x0100"


def bench(probe, requests):
    words = dict(w.split("=", 1) for w in probe.ok("bench %d %s" % (requests, MIX), timeout=600).split())
    return float(words["rps"]), float(words["p50_us"]), float(words["p99_us"])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--requests", type=int, default=5000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--max-ratio", type=float)
    opts = parser.parse_args()

    env = WineEnv.acquire()
    results = {"bare": [], "map": [], "client": []}
    try:
        probe_exe = os.path.join(wh.bin_dir(), "ipc_probe.exe")
        for _ in range(opts.rounds):
            for name, serve_args in (("bare", []), ("map", ["map"])):
                stub = env.popen([probe_exe, "serve"] + serve_args, stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL)
                probe = wh.Probe(env)
                try:
                    probe.ok("wait-window FS98MAIN 20000")
                    results[name].append(bench(probe, opts.requests))
                    probe.ok("close")
                    probe.ok("wait-gone 20000")
                finally:
                    probe.close()
                    stop_process(stub)
            client = wh.Client(env)
            probe = wh.Probe(env)
            try:
                client.start()
                probe.ok("wait-window FS98MAIN 30000")
                results["client"].append(bench(probe, opts.requests))
                probe.ok("command 105")
                probe.ok("wait-gone 20000")
                client.wait(20)
            finally:
                probe.close()
                client.cleanup()
    finally:
        env.release()

    summary = {}
    print("%-7s %12s %10s %10s" % ("window", "best rps", "p50 us", "p99 us"))
    for name, runs in results.items():
        best = max(r[0] for r in runs)
        p50 = statistics.median(r[1] for r in runs)
        p99 = statistics.median(r[2] for r in runs)
        summary[name] = (best, p50, p99)
        print("%-7s %12.1f %10.1f %10.1f" % (name, best, p50, p99))
    ratio_bare = summary["bare"][0] / summary["client"][0]
    ratio_map = summary["map"][0] / summary["client"][0]
    floor = summary["bare"][0] / summary["map"][0]
    print("client time per request: %.3fx the bare window's, %.3fx the mapping window's" % (ratio_bare, ratio_map))
    print("the mapping window alone (atom, open, map, unmap, close; no walk): %.3fx the bare window's" % floor)
    if opts.max_ratio is not None and ratio_bare > opts.max_ratio:
        print("over the limit of %.2fx" % opts.max_ratio)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
