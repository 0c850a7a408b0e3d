"""Network namespaces for the tests that cross a network.

A NetPair is two namespaces joined by one veth pair with private addresses
(10.213.<n>.1 in namespace A, 10.213.<n>.2 in namespace B, optional extra
addresses on B's side), loopback up and a multicast route in both, so that
UDP multicast flows between them, which it does not on loopback in the root
namespace. Nothing here sends traffic anywhere: the veth pair lives entirely
inside the two namespaces.

    with kvnet.NetPair() as net:
        sim = net.popen(net.ns_b, ["server_sim", "--address", net.addr_b, ...])
        rc = net.run(net.ns_a, ["link_netns_driver"], timeout=60)

Needs root and iproute2; require_netns() raises unittest.SkipTest otherwise.
Cleanup always runs: on leaving the with block, at interpreter exit, on
SIGTERM/SIGINT, and namespaces left behind by a killed test process (whose
pid no longer exists) are removed by the next NetPair.
"""

import atexit
import os
import re
import shutil
import signal
import subprocess
import threading
import unittest

_NAME_RE = re.compile(r"^kv(\d+)n(\d+)[abc]$")
_lock = threading.Lock()
_live = []  # NetPairs not yet cleaned up
_counter = 0
_handlers_installed = False
_IP_TIMEOUT = 10  # seconds for any one ip(8) command


def _ip(*args, check=True):
    """Runs ip(8) with args; returns the CompletedProcess."""
    proc = subprocess.run(["ip", *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          text=True, timeout=_IP_TIMEOUT)
    if check and proc.returncode != 0:
        raise RuntimeError("ip %s failed: %s" % (" ".join(args), proc.stderr.strip()))
    return proc


def netns_unavailable_reason():
    """Returns None when namespaces can be made here, else why not."""
    if not hasattr(os, "geteuid") or os.geteuid() != 0:
        return "network namespaces need root"
    if shutil.which("ip") is None:
        return "iproute2 (ip) is not installed"
    probe = "kv%dprobe" % os.getpid()
    try:
        made = _ip("netns", "add", probe, check=False)
    except (OSError, subprocess.TimeoutExpired) as e:
        return "ip netns failed: %s" % e
    if made.returncode != 0:
        return "cannot create a network namespace: %s" % made.stderr.strip()
    _ip("netns", "del", probe, check=False)
    return None


def require_netns():
    """Raises unittest.SkipTest unless namespaces can be made here."""
    reason = netns_unavailable_reason()
    if reason is not None:
        raise unittest.SkipTest(reason)


def _pid_alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def remove_stale_namespaces():
    """Deletes kv<pid>n<k>a/b namespaces whose creating process is gone."""
    listing = _ip("netns", "list", check=False).stdout
    for line in listing.splitlines():
        name = line.split()[0] if line.split() else ""
        m = _NAME_RE.match(name)
        if m and int(m.group(1)) != os.getpid() and not _pid_alive(int(m.group(1))):
            _ip("netns", "del", name, check=False)


def _cleanup_all():
    with _lock:
        pairs = list(_live)
    for pair in pairs:
        pair.close()


def _on_signal(signum, _frame):
    _cleanup_all()
    signal.signal(signum, signal.SIG_DFL)
    os.kill(os.getpid(), signum)


def _install_handlers():
    global _handlers_installed
    if _handlers_installed:
        return
    _handlers_installed = True
    atexit.register(_cleanup_all)
    if threading.current_thread() is threading.main_thread():
        for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            if signal.getsignal(sig) in (signal.SIG_DFL, signal.default_int_handler):
                signal.signal(sig, _on_signal)


class NetPair:
    """Two namespaces (ns_a, ns_b) joined by a veth pair (dev_a, dev_b)."""

    def __init__(self, extra_b=0):
        """extra_b: how many more addresses B's side gets (10.213.<n>.3, .4, ...),
        each a separate sender as seen from A."""
        global _counter
        with _lock:
            _counter += 1
            k = _counter
        pid = os.getpid()
        self.ns_a = "kv%dn%da" % (pid, k)
        self.ns_b = "kv%dn%db" % (pid, k)
        self.dev_a = "kv%dv%da" % (pid % 1000000, k)  # interface names: at most 15 chars
        self.dev_b = "kv%dv%db" % (pid % 1000000, k)
        n = (pid * 7 + k) % 250 + 1
        self.subnet = "10.213.%d" % n
        self.addr_a = self.subnet + ".1"
        self.addr_b = self.subnet + ".2"
        self.extra_b = [self.subnet + ".%d" % (3 + i) for i in range(extra_b)]
        self.ns_c = "kv%dn%dc" % (pid, k)  # made by add_dead_adapter
        self.dev_dead = "kv%dv%dd" % (pid % 1000000, k)
        self._procs = []
        self._made = False
        self._closed = False

    # Setup and teardown

    def open(self):
        _install_handlers()
        remove_stale_namespaces()
        with _lock:
            _live.append(self)
        self._made = True
        try:
            _ip("netns", "add", self.ns_a)
            _ip("netns", "add", self.ns_b)
            _ip("link", "add", self.dev_a, "type", "veth", "peer", "name", self.dev_b)
            _ip("link", "set", self.dev_a, "netns", self.ns_a)
            _ip("link", "set", self.dev_b, "netns", self.ns_b)
            for ns, dev, addrs in ((self.ns_a, self.dev_a, [self.addr_a]),
                                   (self.ns_b, self.dev_b, [self.addr_b] + self.extra_b)):
                for addr in addrs:
                    _ip("-n", ns, "addr", "add", addr + "/24", "dev", dev)
                _ip("-n", ns, "link", "set", "lo", "up")
                _ip("-n", ns, "link", "set", dev, "up")
                _ip("-n", ns, "route", "add", "224.0.0.0/4", "dev", dev)
        except BaseException:
            self.close()
            raise
        return self

    def close(self):
        """Stops every process started here, then deletes both namespaces
        (which deletes the veth pair). Safe to call more than once."""
        if self._closed:
            return
        self._closed = True
        for proc in self._procs:
            stop_process(proc)
        if self._made:
            for ns in (self.ns_a, self.ns_b, self.ns_c):
                try:
                    _ip("netns", "del", ns, check=False)
                except (OSError, subprocess.TimeoutExpired):
                    pass
            # A veth left in the root namespace after a half-done setup.
            if os.path.exists("/sys/class/net/" + self.dev_a):
                _ip("link", "del", self.dev_a, check=False)
        with _lock:
            if self in _live:
                _live.remove(self)

    def add_dead_adapter(self, address):
        """A second adapter in A with address/24, up, whose far end sits alone
        in a third namespace: it hears nothing, and it takes A's default and
        multicast routes, so that a join or a connect that leaves the choice
        of adapter to the platform picks it. remove_dead_adapter undoes it."""
        if not os.path.exists("/run/netns/" + self.ns_c):
            _ip("netns", "add", self.ns_c)
        _ip("link", "add", self.dev_dead, "type", "veth", "peer", "name", self.dev_dead + "x")
        _ip("link", "set", self.dev_dead, "netns", self.ns_a)
        _ip("link", "set", self.dev_dead + "x", "netns", self.ns_c)
        _ip("-n", self.ns_c, "link", "set", self.dev_dead + "x", "up")
        _ip("-n", self.ns_a, "addr", "add", address + "/24", "dev", self.dev_dead)
        _ip("-n", self.ns_a, "link", "set", self.dev_dead, "up")
        _ip("-n", self.ns_a, "route", "replace", "224.0.0.0/4", "dev", self.dev_dead)
        _ip("-n", self.ns_a, "route", "replace", "default", "dev", self.dev_dead)

    def remove_dead_adapter(self):
        _ip("-n", self.ns_a, "link", "del", self.dev_dead, check=False)
        _ip("-n", self.ns_a, "route", "replace", "224.0.0.0/4", "dev", self.dev_a, check=False)

    def __enter__(self):
        return self.open()

    def __exit__(self, *exc):
        self.close()
        return False

    # Processes inside a namespace

    def command(self, ns, argv):
        """The argv that runs argv inside namespace ns."""
        return ["ip", "netns", "exec", ns, *argv]

    def popen(self, ns, argv, **kwargs):
        """Starts argv inside ns; the process is stopped by close()."""
        proc = subprocess.Popen(self.command(ns, argv), **kwargs)
        self._procs.append(proc)
        return proc

    def run(self, ns, argv, timeout, **kwargs):
        """Runs argv inside ns to its end (at most timeout seconds, then it is
        killed and TimeoutExpired raised); returns the CompletedProcess."""
        return subprocess.run(self.command(ns, argv), timeout=timeout, **kwargs)


def stop_process(proc, grace=3.0):
    """Asks proc to end (SIGTERM), kills it after grace seconds."""
    if proc.poll() is not None:
        return proc.returncode
    try:
        proc.terminate()
        return proc.wait(timeout=grace)
    except subprocess.TimeoutExpired:
        proc.kill()
        return proc.wait(timeout=grace)
    except ProcessLookupError:
        return proc.poll()
