#!/usr/bin/env python3
"""The client's link against server_sim in two network namespaces.

Namespace B runs two simulators: the server (10.213.n.2, listening, with a
pattern in its image and a counter above the data blocks) and a stand-in for
a third host (10.213.n.3, beacons only). Namespace A runs the native driver
(link_netns_driver, a GoogleTest program), which steers both through their
control files. Exit code 77 (skipped) where namespaces cannot be made.

    link_netns.py --driver PATH --server-sim PATH [--timeout SEC] [-- driver args]
    link_netns.py ... --load 60    the long stream at full rate alone
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kvnet  # noqa: E402

SKIP = 77
START_WAIT = 5.0  # seconds for a simulator to write its first status


def wait_for_status(path, proc, what):
    deadline = time.monotonic() + START_WAIT
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            raise RuntimeError("%s ended at start with code %s" % (what, proc.returncode))
        if os.path.exists(path) and "running=1" in open(path).read():
            return
        time.sleep(0.02)
    raise RuntimeError("%s wrote no status within %.0f s" % (what, START_WAIT))


def start_sim(net, sim, work, name, address, extra, duration):
    paths = {k: os.path.join(work, "%s.%s" % (name, k)) for k in ("control", "status", "journal", "out")}
    argv = [sim, "--address", address, "--control", paths["control"], "--status", paths["status"],
            "--journal", paths["journal"], "--duration", str(duration)] + extra
    out = open(paths["out"], "wb")
    proc = net.popen(net.ns_b, argv, stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
    wait_for_status(paths["status"], proc, name)
    return proc, paths


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--driver", required=True)
    parser.add_argument("--server-sim", required=True)
    parser.add_argument("--timeout", type=float, default=90)
    parser.add_argument("--keep", action="store_true", help="keep the work folder (logs, journals)")
    parser.add_argument("--load", type=int, default=0, metavar="SEC",
                        help="run only the full-rate stream for SEC seconds")
    parser.add_argument("driver_args", nargs="*")
    args = parser.parse_args()
    if args.load > 0:
        args.timeout = max(args.timeout, args.load + 30)
        args.driver_args = ["--gtest_filter=*LoadStream"] + args.driver_args

    reason = kvnet.netns_unavailable_reason()
    if reason is not None:
        print("skipped: " + reason)
        return SKIP

    work = tempfile.mkdtemp(prefix="kv_link_netns_")
    ok = False
    try:
        with kvnet.NetPair(extra_b=1) as net:
            third = net.extra_b[0]
            duration = int(args.timeout) + 30  # the simulators end by themselves in any case
            server, server_paths = start_sim(
                net, args.server_sim, work, "server", net.addr_b,
                ["--pattern", "--beacon-rate", "20", "--block-rate", "20", "--update-rate", "50",
                 "--counter", "0x15000:2:1", "--pause", "beacons"], duration)
            other, other_paths = start_sim(
                net, args.server_sim, work, "third", third,
                ["--no-listen", "--beacon-rate", "20", "--block-rate", "0", "--update-rate", "0",
                 "--pause", "beacons"], duration)
            env = dict(os.environ,
                       KV_LOCAL_IP=net.addr_a, KV_SERVER_IP=net.addr_b, KV_THIRD_IP=third,
                       KV_WORK_DIR=work,
                       KV_SIM_CONTROL=server_paths["control"], KV_SIM_STATUS=server_paths["status"],
                       KV_SIM_JOURNAL=server_paths["journal"],
                       KV_THIRD_CONTROL=other_paths["control"], KV_THIRD_STATUS=other_paths["status"],
                       KV_LOAD_SECONDS=str(args.load))
            try:
                result = net.run(net.ns_a, [args.driver] + args.driver_args, timeout=args.timeout, env=env)
                ok = result.returncode == 0
                if not ok:
                    print("driver ended with code %d" % result.returncode)
            except subprocess.TimeoutExpired:
                print("driver did not end within %.0f s" % args.timeout)
            for proc, name in ((server, "server"), (other, "third")):
                if proc.poll() is not None:
                    print("%s simulator ended early with code %s" % (name, proc.returncode))
                    ok = False
        if not ok:
            for name in ("server.out", "third.out"):
                path = os.path.join(work, name)
                if os.path.exists(path):
                    print("---- %s (last lines)" % name)
                    print("".join(open(path, errors="replace").readlines()[-40:]))
    finally:
        if args.keep or not ok:
            print("work folder: " + work)
        else:
            shutil.rmtree(work, ignore_errors=True)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
