"""The link tests' rig under Wine: the two namespaces with a Wine environment
in each (LinkRig), one server_sim in namespace B commanded through its
standard input (Sim), and the test case base with the helpers every link
test uses (LinkTestCase). A test module imports setUpModule and
tearDownModule from here, which open and close its one rig. The soak and
the benches use LinkRig and Sim alone.
"""

import os
import shutil
import subprocess
import tempfile
import threading
import types

import kvnet
import wine_harness as wh
from wine_env import WineEnv, stop_process, wait_until, wine_path


class LinkRig:
    """The two namespaces with a Wine environment in each (the one in B only
    when server_sim runs under Wine), booted side by side."""

    def __init__(self):
        self.net = self.env_a = self.env_b = None

    def open(self):
        self.net = kvnet.NetPair(extra_b=1).open()
        try:
            self.env_a = WineEnv(netns=self.net.ns_a)
            envs = [self.env_a]
            if not os.environ.get("KV_SERVER_SIM"):
                self.env_b = WineEnv(netns=self.net.ns_b, display=False)
                envs.append(self.env_b)
            errors = []

            def boot(e):
                try:
                    e.start()
                except Exception as error:  # reported below, on the calling thread
                    errors.append(error)

            threads = [threading.Thread(target=boot, args=(e,)) for e in envs]
            for t in threads:
                t.start()
            for t in threads:
                t.join(300)
            if errors:
                raise errors[0]
        except BaseException:
            self.close()
            raise
        return self

    def close(self):
        for e in (self.env_a, self.env_b):
            if e is not None:
                e.stop()
        if self.net is not None:
            self.net.close()


# The one rig of a test module: setUpModule opens it, tearDownModule closes it.
RIG = types.SimpleNamespace(rig=None)


def setUpModule():
    kvnet.require_netns()
    RIG.rig = LinkRig().open()
    LinkTestCase.env = RIG.rig.env_a


def tearDownModule():
    if RIG.rig is not None:
        RIG.rig.close()


def pattern(offset, size):
    """server_sim's --pattern bytes."""
    return bytes((o + 3 * (o >> 8) + 0x47 * (o >> 14) + 0x11) % 256 for o in range(offset, offset + size))


class Sim:
    """One server_sim in namespace B, commanded through its standard input."""

    def __init__(self, rig, address, options):
        self.dir = tempfile.mkdtemp(prefix="kv-sim-")
        self.journal = os.path.join(self.dir, "journal.txt")
        self.status_file = os.path.join(self.dir, "status.txt")
        native = os.environ.get("KV_SERVER_SIM")
        path = (lambda p: p) if native else wine_path
        argv = [native or os.path.join(wh.bin_dir(), "server_sim.exe"), "--address", address, "--control", "-",
                "--quiet", "--journal", path(self.journal), "--status", path(self.status_file)] + list(options)
        quiet = {"stdin": subprocess.PIPE, "stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
        self.proc = rig.net.popen(rig.net.ns_b, argv, **quiet) if native else rig.env_b.popen(argv, **quiet)
        self.sent = 0  # command lines written so far
        if not wait_until(lambda: os.path.exists(self.status_file), 30):
            raise AssertionError("server_sim did not start")

    def command(self, line):
        """Writes one command line; server_sim carries it out when it next
        reads its input (see do)."""
        self.proc.stdin.write((line + "\n").encode())
        self.proc.stdin.flush()
        self.sent += 1

    def do(self, line, timeout=10):
        """Writes one command line and waits until server_sim has carried it
        out: it rewrites its status after each command, counting it there.
        True, or None after the timeout."""
        self.command(line)
        return wait_until(lambda: int(self.status().get("commands", "0")) >= self.sent, timeout, 0.02)

    def status(self):
        try:
            with open(self.status_file) as f:
                return dict(l.strip().split("=", 1) for l in f if "=" in l)
        except OSError:
            return {}

    def journal_lines(self):
        try:
            with open(self.journal) as f:
                return f.read().splitlines()
        except OSError:
            return []

    def stop(self, kill=False):
        if self.proc.poll() is None:
            if kill:
                self.proc.kill()
            else:
                try:
                    self.command("quit")
                except OSError:
                    pass
            try:
                self.proc.wait(15)
            except subprocess.TimeoutExpired:
                stop_process(self.proc)
        if self.proc.stdin:
            try:
                self.proc.stdin.close()
            except OSError:
                pass

    def cleanup(self):
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)


class LinkTestCase(wh.ClientTestCase):
    @property
    def net(self):
        return RIG.rig.net

    def start_sim(self, *options, address=None):
        sim = Sim(RIG.rig, address or self.net.addr_b, options)
        self.addCleanup(sim.cleanup)
        return sim

    def launch_linked(self, local=None):
        return self.launch(settings=wh.settings_file(local or self.net.addr_a, self.net.addr_b))

    def link_is(self, probe, up, timeout):
        """Waits until requests are answered 1 (up) or 0 (down)."""
        want = 1 if up else 0
        return wait_until(lambda: probe.request("read 0 1")[0] == want, timeout, 0.1)

    def read_u8(self, probe, offset):
        return int(probe.request("read 0x%X u8" % offset)[1]["value"])

    def assert_in_order(self, lines, wanted):
        """Each wanted text is found in a later line than the one before."""
        at = 0
        for text in wanted:
            for i in range(at, len(lines)):
                if text in lines[i]:
                    at = i + 1
                    break
            else:
                self.fail("%r not found after line %d in:\n%s" % (text, at, "\n".join(lines)))

    def assert_closing_lines(self, client):
        lines = self.event_lines(client)
        self.assertRegex(lines[-1], wh.CLOSING_LINE)
        self.assertRegex(lines[-2], r"^\d\d:\d\d:\d\d:\d\d\d Closing connection to server OK$")
        return lines
