"""Runs the Windows programs under Wine for the end-to-end tests.

One WineEnv per test run: an Xvfb of its own (a free display number) and a
fresh WINEPREFIX under /tmp, booted once with `wineboot -i` and kept alive by a
persistent wineserver. CTest creates it in a setup step and removes it in a
cleanup step (`wine_harness.py setup|cleanup STATE_DIR`); the test modules
find it through the state file and, when run alone, make and remove their own.

A Client runs Kestrovaline.exe in a scratch folder (the working directory in
standalone mode, the simulator's main folder in plug-in mode). A Probe is one
`ipc_probe script` process: each command written to it gives one answer line.
Everything here has a time limit and every process it starts is ended by its
own id.
"""

import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import queue
import unittest

WINE = os.environ.get("KV_WINE", "/usr/lib/wine/wine64")
WINESERVER = os.environ.get("KV_WINESERVER", "/usr/lib/wine/wineserver")
STATE_FILE = "wine_env.json"
PLUGIN_DIR = os.path.join("Resources", "plugins", "TARNEX", "64")

EVENT_LOG = "Kestrovaline.txt"
REQUEST_LOG = "Kestrovaline.log"
SETTINGS = "Kestrovaline.ini"
VERSION = "2.0.0.0"


def bin_dir():
    """Folder of the Windows programs (the build's bin folder)."""
    path = os.environ.get("KV_BIN_DIR")
    if not path:
        raise RuntimeError("KV_BIN_DIR must name the folder of Kestrovaline.exe and ipc_probe.exe")
    return os.path.abspath(path)  # the client starts in a folder of its own


def _alive(pid):
    try:
        os.kill(pid, 0)
        return True
    except (ProcessLookupError, PermissionError):
        return False


def _stop_process(proc, grace=5.0):
    """Ends a process we started: SIGTERM, then SIGKILL after the grace time."""
    if proc is None or proc.poll() is not None:
        return
    proc.terminate()
    try:
        proc.wait(grace)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait(grace)


class WineEnv:
    """Xvfb plus one WINEPREFIX, shared by every test of a run.

    netns: the network namespace to run everything in. Wine makes its sockets
    in the wineserver, so every Wine process of a prefix must live in the
    namespace where its wineserver started; Xvfb starts there too, so that
    its abstract socket is reachable as well."""

    def __init__(self, state_dir=None, netns=None, display=True, prefix=None):
        """display: False for console programs only (no Xvfb).
        prefix: a WINEPREFIX folder to use and keep, booted on its first use
        only (quicker later starts), instead of a fresh one under /tmp that
        stop() removes."""
        self.state_dir = state_dir
        self.netns = netns
        self.wants_display = display
        self.display = None
        self.prefix = os.path.abspath(prefix) if prefix else None
        self.keep_prefix = prefix is not None
        self.xvfb_pid = None
        self.owned = False
        self._xvfb = None

    # -- life cycle -------------------------------------------------------

    @classmethod
    def acquire(cls):
        """The run's environment if CTest made one, else a private one."""
        state_dir = os.environ.get("KV_WINE_STATE")
        if state_dir:
            env = cls.load(state_dir)
            if env:
                return env
        env = cls()
        env.start()
        return env

    @classmethod
    def load(cls, state_dir):
        path = os.path.join(state_dir, STATE_FILE)
        try:
            with open(path) as f:
                state = json.load(f)
        except (OSError, ValueError):
            return None
        if not _alive(state["xvfb_pid"]) or not os.path.isdir(state["prefix"]):
            return None
        env = cls(state_dir)
        env.display, env.prefix, env.xvfb_pid = state["display"], state["prefix"], state["xvfb_pid"]
        return env

    def start(self):
        self.owned = True
        try:
            if self.wants_display:
                self._start_xvfb()
            quiet = {"stdin": subprocess.DEVNULL, "stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
            booted_mark = None
            if self.keep_prefix:
                os.makedirs(self.prefix, exist_ok=True)
                booted_mark = os.path.join(self.prefix, ".kv-booted")
                # A server of this prefix left by an interrupted run may live in
                # another namespace: end it (it is reached through /tmp).
                subprocess.run([WINESERVER, "-k"], env=self.environ(), timeout=30, **quiet)
            else:
                self.prefix = tempfile.mkdtemp(prefix="kv-wine-")
            # A persistent server keeps every later Wine start quick. Nothing
            # that outlives this call may hold our standard streams (CTest
            # waits for them to close).
            subprocess.run(self.wrap([WINESERVER, "-p"]), env=self.environ(), timeout=30, **quiet)
            if booted_mark is None or not os.path.exists(booted_mark):
                boot = subprocess.run(self.wrap([WINE, "wineboot", "-i"]), env=self.environ(), timeout=180,
                                      **quiet)
                if boot.returncode != 0:
                    raise RuntimeError("wineboot -i failed with %d" % boot.returncode)
                if booted_mark:
                    open(booted_mark, "w").close()
        except BaseException:
            self.stop()
            raise
        if self.state_dir:
            os.makedirs(self.state_dir, exist_ok=True)
            with open(os.path.join(self.state_dir, STATE_FILE), "w") as f:
                json.dump({"display": self.display, "prefix": self.prefix, "xvfb_pid": self.xvfb_pid}, f)

    def _start_xvfb(self):
        first = 100 + os.getpid() % 100
        for number in range(first, first + 50):
            if os.path.exists("/tmp/.X%d-lock" % number) or os.path.exists("/tmp/.X11-unix/X%d" % number):
                continue
            proc = subprocess.Popen(self.wrap(["Xvfb", ":%d" % number, "-screen", "0", "1024x768x24",
                                               "-nolisten", "tcp"]),
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            deadline = time.monotonic() + 10
            while time.monotonic() < deadline and proc.poll() is None:
                if os.path.exists("/tmp/.X11-unix/X%d" % number):
                    self._xvfb, self.xvfb_pid, self.display = proc, proc.pid, ":%d" % number
                    return
                time.sleep(0.05)
            _stop_process(proc)
        raise RuntimeError("no free X display for Xvfb")

    def stop(self):
        """Ends the wineserver and Xvfb and removes the prefix (only our own,
        and not a kept one)."""
        if self.prefix and os.path.isdir(self.prefix):
            try:
                subprocess.run(self.wrap([WINESERVER, "-k"]), env=self.environ(), timeout=30,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            except subprocess.TimeoutExpired:
                pass
            if not self.keep_prefix:
                shutil.rmtree(self.prefix, ignore_errors=True)
        if self._xvfb is not None:
            _stop_process(self._xvfb)
        elif self.xvfb_pid and _alive(self.xvfb_pid):
            os.kill(self.xvfb_pid, signal.SIGTERM)
            deadline = time.monotonic() + 5
            while _alive(self.xvfb_pid) and time.monotonic() < deadline:
                time.sleep(0.05)
            if _alive(self.xvfb_pid):
                os.kill(self.xvfb_pid, signal.SIGKILL)
        if self.state_dir:
            try:
                os.remove(os.path.join(self.state_dir, STATE_FILE))
            except OSError:
                pass
        self.prefix = self.xvfb_pid = self._xvfb = None

    def release(self):
        """Ends the environment if this process made it for itself."""
        if self.owned and not self.state_dir:
            self.stop()

    # -- running programs -------------------------------------------------

    def wrap(self, argv):
        """argv, run inside the environment's namespace if it has one."""
        return ["ip", "netns", "exec", self.netns] + list(argv) if self.netns else list(argv)

    def environ(self):
        env = dict(os.environ)
        env.update({"WINEPREFIX": self.prefix, "WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml="})
        if self.display:
            env["DISPLAY"] = self.display
        else:
            env.pop("DISPLAY", None)
        return env

    def popen(self, argv, cwd=None, **kwargs):
        """Starts a Windows program (its Unix path first) under Wine."""
        return subprocess.Popen(self.wrap([WINE] + list(argv)), cwd=cwd, env=self.environ(), **kwargs)


# The client binds its multicast socket to the local address: a loopback
# address of this run's own keeps it clear of any other client on the machine.
LOOPBACK = "127.77.%d.%d" % ((os.getpid() >> 8) & 0xFF, 1 + os.getpid() % 254)


def settings_file(local=LOOPBACK, server=LOOPBACK):
    """A valid settings file as the client itself writes it (CR LF)."""
    return ("Kestrovaline Version %s ini file\r\n\r\n[Network Settings]\r\n"
            "IP Address of THIS PC = %s\r\nIP Address of server = %s\r\n" % (VERSION, local, server)).encode()


def log_lines(data):
    """Splits a log written with CR LF line ends; fails on a bare line feed."""
    text = data.decode("latin-1")
    if "\n" in text.replace("\r\n", ""):
        raise AssertionError("line feed without carriage return in %r" % text[:400])
    lines = text.split("\r\n")
    if lines and lines[-1] == "":
        lines.pop()
    return lines


class Client:
    """Kestrovaline.exe in a scratch folder of its own.

    mode "standalone" keeps the files in the folder itself, "plugin" below
    Resources\\plugins\\TARNEX\\64 (which is created unless make_plugin_dir is
    False). args are the command-line words; by default the mode's own.
    settings: bytes for the settings file, None for none (the client then
    writes its defaults).
    """

    def __init__(self, env, mode="standalone", args=None, settings=settings_file(), make_plugin_dir=True):
        self.env = env
        self.mode = mode
        self.args = list(args) if args is not None else (["TARNEX"] if mode == "plugin" else [])
        self.root = tempfile.mkdtemp(prefix="kv-e2e-")
        self.folder = os.path.join(self.root, PLUGIN_DIR) if mode == "plugin" else self.root
        if make_plugin_dir:
            os.makedirs(os.path.join(self.root, PLUGIN_DIR), exist_ok=True)
        if settings is not None:
            os.makedirs(self.folder, exist_ok=True)
            with open(self.path(SETTINGS), "wb") as f:
                f.write(settings)
        self.proc = None
        self._output = tempfile.TemporaryFile()

    def path(self, name):
        return os.path.join(self.folder, name)

    def other_path(self, name):
        """The same file in the other run mode's folder."""
        other = self.root if self.mode == "plugin" else os.path.join(self.root, PLUGIN_DIR)
        return os.path.join(other, name)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def start(self):
        exe = os.path.join(bin_dir(), "Kestrovaline.exe")
        self.proc = self.env.popen([exe] + self.args, cwd=self.root, stdout=self._output, stderr=self._output)
        return self

    def wait(self, timeout=20):
        """The exit code, or None if it is still running after the timeout."""
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def output(self):
        self._output.seek(0)
        return self._output.read()

    def cleanup(self):
        _stop_process(self.proc)
        self._output.close()
        shutil.rmtree(self.root, ignore_errors=True)


def wait_until(condition, timeout, interval=0.1):
    """Polls condition() until it returns something true (returned) or the
    timeout passes (None)."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value or time.monotonic() >= deadline:
            return value or None
        time.sleep(interval)


def wine_path(path):
    """A Unix path as Windows programs under Wine see it (drive Z:)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class ProbeError(AssertionError):
    pass


class Probe:
    """One `ipc_probe script` process; call it with a command line."""

    def __init__(self, env, options=()):
        exe = os.path.join(bin_dir(), "ipc_probe.exe")
        self.proc = env.popen([exe] + list(options) + ["script"], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self._lines = queue.Queue()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for raw in self.proc.stdout:
            self._lines.put(raw.decode("latin-1").rstrip("\r\n"))
        self._lines.put(None)

    def __call__(self, command, timeout=30):
        """Sends one command; returns (ok, text after "ok "/"err ")."""
        self.proc.stdin.write((command + "\n").encode("latin-1"))
        self.proc.stdin.flush()
        try:
            line = self._lines.get(timeout=timeout)
        except queue.Empty:
            raise ProbeError("no answer to %r within %s s" % (command, timeout))
        if line is None:
            raise ProbeError("ipc_probe ended before answering %r" % command)
        ok, _, text = line.partition(" ")
        if ok not in ("ok", "err"):
            raise ProbeError("unexpected answer %r to %r" % (line, command))
        return ok == "ok", text

    def ok(self, command, timeout=30):
        """The answer text of a command that must succeed."""
        ok, text = self(command, timeout)
        if not ok:
            raise ProbeError("%r failed: %s" % (command, text))
        return text

    def json(self, command, timeout=30):
        return json.loads(self.ok(command, timeout))

    def request(self, command, timeout=30):
        """A request's answer as (result, fields): "result=1 r=00 w" ->
        (1, ["r=00", "w"]); "hex=.. value=.." fields come back as a dict."""
        words = self.ok(command, timeout).split()
        result = int(words[0].split("=", 1)[1])
        rest = words[1:]
        if rest and "=" in rest[0] and rest[0].split("=")[0] in ("hex", "value"):
            return result, dict(w.split("=", 1) for w in rest)
        return result, rest

    def close(self):
        if self.proc.poll() is None:
            try:
                self.proc.stdin.write(b"quit\n")
                self.proc.stdin.close()
            except OSError:
                pass
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                pass
        _stop_process(self.proc)
        self.proc.stdout.close()


CLOSING_LINE = re.compile(r"^\d\d:\d\d:\d\d:\d\d\d Closing connection status thread d$")
FIRST_LINES = ["Create FS98MAIN Window OK!", "Register UIPCMain Call message OK!"]
REQUEST_LOG_HEADER = ["Kestrovaline Version %s log file" % VERSION, ""]


class ClientTestCase(unittest.TestCase):
    """Base of the tests that run the client: one WineEnv for the module
    (each module sets env on a base class of its own), scratch folders and
    processes ended after each test whatever happened."""

    env = None

    def launch(self, mode="standalone", args=None, settings=settings_file(), make_plugin_dir=True,
               wait_window=True, prepare=None):
        """Starts the client and a probe; waits for the window of the mode.
        prepare(client) runs on the scratch folder before the start."""
        client = Client(self.env, mode, args, settings, make_plugin_dir)
        self.addCleanup(client.cleanup)
        probe = Probe(self.env)
        self.addCleanup(probe.close)
        if prepare:
            prepare(client)
        client.start()
        if wait_window:
            probe.ok("wait-window %s 30000" % ("UIPCMAIN" if mode == "plugin" else "FS98MAIN"))
            # "IPCEvent" comes after the window is shown: start-up is through.
            probe.ok("event-open IPCEvent 30000")
        return client, probe

    def end(self, client, probe, how="command 105"):
        """Ends the client by Exit (or "close") and returns its exit code."""
        probe.ok(how)
        probe.ok("wait-gone 20000")
        code = client.wait(20)
        self.assertIsNotNone(code, "the client did not end")
        return code

    def event_lines(self, client):
        return log_lines(client.read(EVENT_LOG))

    def request_lines(self, client):
        return log_lines(client.read(REQUEST_LOG))


def main(argv):
    """`wine_harness.py setup STATE_DIR` / `cleanup STATE_DIR` for CTest."""
    if len(argv) != 3 or argv[1] not in ("setup", "cleanup"):
        print("usage: wine_harness.py setup|cleanup STATE_DIR", file=sys.stderr)
        return 2
    state_dir = argv[2]
    old = WineEnv.load(state_dir)
    if old:
        old.stop()  # a leftover of an interrupted run
    if argv[1] == "setup":
        WineEnv(state_dir).start()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
