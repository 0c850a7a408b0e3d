"""The soak's faults on the server, and when each came.

In turn, one every 30-60 s: the server closes the connection (FIN), resets it
(RST), is killed and started again 3 s later, goes silent (no beacons, blocks
or updates) for 8 s, this PC's address is removed for 10 s (Wi-Fi dropping,
sleep and resume), or nothing happens. A Fault keeps its stamps in
time.time_ns(), the clock of the add-ons' send stamps and the journals.
"""

import random
import time

import kvnet

FAULTS = ["close", "reset", "kill", "silent", "address", "none"]
ADDRESS_GONE_S = 10
NEAR_NS = 500_000_000         # a write this close to a fault may be lost


class Fault:
    def __init__(self, kind, start_ns):
        self.kind = kind
        self.start_ns = self.end_ns = start_ns
        self.back_ns = start_ns  # what recovery is measured from

    def near(self, first_ns, last_ns):
        return first_ns <= self.end_ns + NEAR_NS and last_ns >= self.start_ns - NEAR_NS


class FaultDriver:
    """Brings the faults on the soak's server_sim.

    order: the kinds in turn (from FAULTS); seed: of the times between them;
    stop: an Event that ends the driving early; start_sim: () -> a new running
    server_sim, for the one after a kill; net: the kvnet.NetPair whose
    namespace A holds the client. faults: every fault that came, in order
    ("none" left out)."""

    def __init__(self, order, seed, stop, start_sim, net=None):
        self.order = order
        self.seed = seed
        self.stop = stop
        self.start_sim = start_sim
        self.net = net
        self.faults = []

    def run(self, sim, until, started):
        """One fault every 30-60 s from now (the end of the warm-up), each kind
        in turn, the last at least 20 s before until (time.monotonic()); "none"
        is a gap of the same length without a fault. started: the run's start
        on the same clock, for the printed times."""
        rng = random.Random(self.seed)
        turn, due = 0, time.monotonic()
        while True:
            due += rng.uniform(30, 60)
            if due + 20 > until or self.stop.wait(max(0, due - time.monotonic())):
                return
            fault = Fault(self.order[turn % len(self.order)], time.time_ns())
            turn += 1
            if fault.kind in ("close", "reset"):
                # It ends when the server has carried it out, which can be a while after it was sent.
                sim.do(fault.kind)
                fault.end_ns = time.time_ns()
            elif fault.kind == "kill":
                sim.stop(kill=True)
                time.sleep(3)
                fault.end_ns = fault.back_ns = time.time_ns()
                sim = self.start_sim()
            elif fault.kind == "silent":
                sim.command("pause all")
                time.sleep(8)
                sim.do("resume all")
                fault.end_ns = fault.back_ns = time.time_ns()
            elif fault.kind == "address":
                self.remove_address(fault)
            if fault.kind != "none":
                self.faults.append(fault)
            due = time.monotonic()
            print("%7.1f s  fault: %s" % (time.monotonic() - started, fault.kind), flush=True)

    def remove_address(self, fault):
        """Takes the client's address off its adapter for ADDRESS_GONE_S, then
        gives it back with the multicast route that went with it; the fault
        lasts until then."""
        ip = lambda *args: kvnet._ip("-n", self.net.ns_a, *args)
        ip("addr", "del", self.net.addr_a + "/24", "dev", self.net.dev_a)
        try:
            time.sleep(ADDRESS_GONE_S)
        finally:
            ip("addr", "add", self.net.addr_a + "/24", "dev", self.net.dev_a)
            ip("route", "replace", "224.0.0.0/4", "dev", self.net.dev_a)
            fault.end_ns = fault.back_ns = time.time_ns()

    def reconnection(self, sim, kind):
        """One close or reset now, outside the turns (the soak's warm-up)."""
        fault = Fault(kind, time.time_ns())
        sim.do(kind)
        fault.end_ns = time.time_ns()
        self.faults.append(fault)

    def address_outage(self):
        """One address fault now, outside the turns (the soak's warm-up)."""
        fault = Fault("address", time.time_ns())
        self.remove_address(fault)
        self.faults.append(fault)
