"""Web clients through the soak (soak_wine.py --web-clients N): N clients of
the client's gateway (web_load.py fanout, Debian's python3, on the client's
PC), each subscribed at 50 ms to 20 fields, one of them the counter that the
server's update frames move 200 times a second. They stay connected through
every fault and the WM_CLOSE at the end. Judged: no client stops getting
pushes (the last one within a few seconds of the close); printed: the pushes
against those due and the longest gap of each, which a fault explains.
"""

import os
import subprocess

SYSTEM_PYTHON = "/usr/bin/python3"
LOAD = os.path.join(os.path.dirname(os.path.abspath(__file__)), "web_load.py")
PORT = 8765
SETTINGS = "Port = %d\r\n" % PORT
INTERVAL_MS = 50
COUNTER = 0x18000
SIM_OPTIONS = ["--counter", "0x%X:4:1" % COUNTER]
LAST_PUSH_LIMIT_S = 5.0


class WebClients:
    def __init__(self, net, clients, out):
        self.net = net
        self.clients = clients
        self.out = out
        self.proc = None
        self.rows = []

    def start(self):
        url = "ws://%s:%d/ws" % (self.net.addr_a, PORT)
        self.proc = self.net.popen(self.net.ns_a, [SYSTEM_PYTHON, LOAD, "fanout", url, str(self.clients),
                                                   str(INTERVAL_MS), str(COUNTER), self.out],
                                   stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline().strip()
        if line != "ready":
            raise RuntimeError("the web clients did not start: %r" % (line or "ended"))
        return self

    def end(self):
        """Ends the clients (the gateway may have closed them already); keeps their pushes."""
        if self.proc is None:
            return
        try:
            self.proc.stdin.write("end\n")
            self.proc.stdin.flush()
            self.proc.stdout.readline()
            self.proc.wait(60)
            with open(self.out) as f:
                self.rows = [tuple(int(x) for x in line.split()) for line in f if line.strip()]
        except (OSError, subprocess.TimeoutExpired) as error:
            self.rows = []
            raise RuntimeError("the web clients did not end well: %s" % error)
        finally:
            self.proc = None

    def report(self, start_ns, close_ns, check):
        """Prints the figures of the pushes between start_ns and close_ns; check(good, what) for each limit."""
        due = (close_ns - start_ns) / 1e6 / INTERVAL_MS
        worst_last, worst_gap, total = 0.0, 0.0, 0
        for client in range(self.clients):
            times = sorted(t for c, t, *_ in self.rows if c == client and start_ns <= t <= close_ns)
            total += len(times)
            last = (close_ns - times[-1]) / 1e9 if times else float("inf")
            gaps = [(b - a) / 1e9 for a, b in zip(times, times[1:])]
            worst_last = max(worst_last, last)
            worst_gap = max([worst_gap] + gaps)
            check(last <= LAST_PUSH_LIMIT_S, "web client %d: its last push %.1f s before the close" % (client, last))
        print("web clients                %d at %d ms: %.1f %% of the pushes due, longest gap %.1f s, "
              "last push at most %.2f s before the close" % (
                  self.clients, INTERVAL_MS, 100 * total / max(1.0, due * self.clients), worst_gap, worst_last))
